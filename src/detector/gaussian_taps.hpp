// The Gaussian blur's taps: out[x] = g0 × s0[x] + g1 × s1[x] + ..., the
// products added in increasing tap order onto 0, for every x of a row. The
// front end's downsampling spends most of its time here, so the sum comes
// once per instruction-set level: each lane of a vector is one x and takes
// the same operations in the same order as the baseline loop, so every level
// gives the same bytes.
#pragma once

#include <cstddef>

#include "warp/isa_level.hpp"

namespace trelvane {

// out[x] for x < n from taps sources[k], weighted kernel[k], k < taps.
using SumTaps = void (*)(const double* const* sources, const double* kernel, std::size_t taps, std::size_t n,
                         double* out);

#define TRELVANE_TAPS_LEVEL(level)                                                                         \
    namespace level {                                                                                      \
    void sum_taps(const double* const* sources, const double* kernel, std::size_t taps, std::size_t n,     \
                  double* out);                                                                            \
    }
TRELVANE_TAPS_LEVEL(baseline)
TRELVANE_TAPS_LEVEL(avx2)
TRELVANE_TAPS_LEVEL(avx512)
#undef TRELVANE_TAPS_LEVEL

// The routine of `level`, never above what the CPU runs.
SumTaps sum_taps_routine(IsaLevel level);

}  // namespace trelvane
