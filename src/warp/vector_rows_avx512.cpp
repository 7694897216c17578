// The vector row routines compiled for the avx512 level.
#define TRELVANE_LEVEL avx512
#include "warp/vector_rows-inl.hpp"
