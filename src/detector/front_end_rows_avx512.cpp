// The front end's row loops compiled for the avx512 level.
#define TRELVANE_LEVEL avx512
#define TRELVANE_LEVEL_BYTES 64
#include "detector/front_end_rows-inl.hpp"
