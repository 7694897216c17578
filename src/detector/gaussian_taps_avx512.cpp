// The Gaussian blur's taps compiled for the avx512 level.
#define TRELVANE_LEVEL avx512
#define TRELVANE_LEVEL_BYTES 64
#include "detector/gaussian_taps-inl.hpp"
