// The front end's row loops that run once per instruction-set level: the
// Gaussian blur's tap sums and the weak test of the level-line field, most of
// the front end's time. Each lane of a vector is one pixel and takes the
// scalar code's operations in the scalar code's order, so every level gives
// the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "records.hpp"
#include "warp/isa_level.hpp"

namespace trelvane {

// Weak pixels. Every reader of the field takes from a pixel whose magnitude
// is at most rho nothing but that fact: the used mask marks it from the start
// and no region ever releases it (refinement frees only its own region's
// pixels, and regions accept only free pixels), so region growing, region to
// rectangle and refinement never read its record; the ordering skips it; and
// rect_nfa reads its direction only after magnitude > rho has failed. Such a
// record may therefore stay all zero, without hypot and the two divisions,
// whenever a cheap test proves the magnitude would be at most rho:
//
// With s = gx² + gy² in 64-bit arithmetic, the exact sum is at most
// s (1 + 3·2^-53) (plus 2^-1073 from subnormal squares), so s ≤ rho² (1 - 2^-40)
// bounds the exact magnitude below rho (1 - 2^-42); hypot, within one unit in
// the last place, then returns less than rho, and rounding to 32 bits (monotone,
// rho being a 32-bit float) gives at most rho. A NaN or infinite s fails the
// test and takes the full computation.
inline constexpr double weak_squares = static_cast<double>(rho) * static_cast<double>(rho) * (1 - 0x1p-40);

// out[x] = kernel[0] × sources[0][x] + kernel[1] × sources[1][x] + ..., the
// products added in increasing tap order onto 0, for x < n.
using SumTaps = void (*)(const double* const* sources, const double* kernel, std::size_t taps, std::size_t n,
                         double* out);
// For x < n, bit x of `strong` (64 to a word) is set unless the weak test
// proves the pixel of the 2×2 square at top[x], bottom[x] weak.
using MarkStrong = void (*)(const double* top, const double* bottom, std::size_t n, std::uint64_t* strong);

struct FrontEndRows {
    SumTaps sum_taps;
    MarkStrong mark_strong;
};

#define TRELVANE_FRONT_END_LEVEL(level)                                                                     \
    namespace level {                                                                                       \
    void sum_taps(const double* const* sources, const double* kernel, std::size_t taps, std::size_t n,      \
                  double* out);                                                                             \
    void mark_strong(const double* top, const double* bottom, std::size_t n, std::uint64_t* strong);        \
    }
TRELVANE_FRONT_END_LEVEL(baseline)
TRELVANE_FRONT_END_LEVEL(avx2)
TRELVANE_FRONT_END_LEVEL(avx512)
#undef TRELVANE_FRONT_END_LEVEL

// The routines of `level`, never above what the CPU runs.
FrontEndRows front_end_rows(IsaLevel level);

}  // namespace trelvane
