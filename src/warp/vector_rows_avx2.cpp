// The vector row routines compiled for the avx2 level.
#define TRELVANE_LEVEL avx2
#include "warp/vector_rows-inl.hpp"
