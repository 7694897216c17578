// The front end's row loops compiled for the avx2 level.
#define TRELVANE_LEVEL avx2
#define TRELVANE_LEVEL_BYTES 32
#include "detector/front_end_rows-inl.hpp"
