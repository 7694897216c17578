// The Gaussian blur's taps compiled for the avx2 level.
#define TRELVANE_LEVEL avx2
#define TRELVANE_LEVEL_BYTES 32
#include "detector/gaussian_taps-inl.hpp"
