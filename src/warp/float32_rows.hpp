// The float32 paths of the vector levels: which calls have one, and the
// proven bounds that decide, output sample by output sample, whether a
// float32 sum gives the reference's byte. The kernels are in
// float32_rows-inl.hpp. Lanczos-3 computes positions, floors, phases and
// weights in double exactly as the reference computes them; bilinear
// computes them in float where they are provably the reference's (below).
// The sums are float32, and an output the bound cannot vouch for is sampled
// again by the scalar reference.
#pragma once

#include "warp/filter.hpp"
#include "warp/isa_level.hpp"
#include "warp/sampling.hpp"

namespace trelvane {

// Whether calls of filter F on samples of `sample_bytes` bytes and `channels`
// channels have a float32 path at the vector levels: where it measured at
// least 1.15 times faster than the exact kernel of each level
// (docs/performance.rst has the figures). `float_positions`: the positions
// come as float32 coordinate maps (remap), not from a homography (warp).
// 16-bit samples would make the bounds 257 times larger and send too many
// outputs to the exact fallback; a gray Lanczos-3 sum has too few products
// per pixel to repay the float32 path's conversions and checks. Bilinear
// needs float positions: its float32 kernel computes the reference's weights
// in float, which is exact only for them (see bilinear_float32).
constexpr bool has_float32_path(Filter filter, int sample_bytes, int channels, bool float_positions) {
    if (sample_bytes != 1) return false;
    return filter == Filter::Bilinear ? float_positions : channels == 3;
}

// γ(n, v) = n·v / (1 − n·v): n roundings of unit v, each multiplying what it
// carries by (1 + δ) with |δ| ≤ v, err by at most γ(n, v) relatively.
constexpr double gamma(int n, double unit) { return n * unit / (1 - n * unit); }

// A float32 path's error bound and the margin of its byte check.
struct Float32Bound {
    double bound;  // of |float32 sum − the reference's double sum| of 8-bit samples
    float margin;  // of the byte check
};

// Lanczos-3 (8-bit RGB). With u = 2^-24 and L = the largest Σ|w| of a table
// entry, whatever the order of the float operations:
// - Terms: the reference's value in real arithmetic is S = Σ p_ij·wx_i·wy_j
//   over the 36 taps, and Σ |p_ij·wx_i·wy_j| ≤ 255·L², p in [0, 255].
// - Float weights: converting wx_i and wy_j to float multiplies each by
//   (1 + δ), |δ| ≤ u: 2 roundings per term (the smallest nonzero weight,
//   about 1.6e-17, is a normal float).
// - Float products and sums: each multiply, fused multiply-add or addition
//   multiplies the terms it carries by (1 + δ), |δ| ≤ u, and a term passes at
//   most lanczos3_sum_roundings = 10 of them (see float32_sums). With the
//   weights, |Ŝ − S| ≤ γ(12, u)·255·L².
// - Underflow: a rounded result below 2^-126 errs by up to 2^-150 absolutely
//   instead; a sample has fewer than 100 roundings: 2^-130 covers them.
// - The reference's double sum: 1 rounding for wx·wy, 1 for the product and
//   35 additions: |S_double − S| ≤ γ(37, 2^-53)·255·L².
// With L = 1.54347827 (the table's 1.5434782609 at phase 1/2, rounded up;
// a test recomputes it from the table), the bound is 4.345131e-4.
// The check. The reference stores trunc(clamp(r, 0, 255)) with r = S_double
// + 1/2 rounded to double, within 2^-45 of the sum (|r| < 512, since S lies
// in [255·(1 − L²)/2, 255·(1 + L²)/2]: the weights sum to 1). The float path
// forms t = Ŝ + 1/2 in float, within 2^-16. So |t − r| < m when m ≥ bound +
// 2^-16 + 2^-45; m = 2^-11 is, and keeps 1 − m and 255 + m exact in float.
// Then the byte is certain and equals clamp(floor(t), 0, 255) when t < 1 − m
// (r < 1: byte 0), when t > 255 + m (r > 255: byte 255), or when the fraction
// t − floor(t) (exact) lies in (m, 1 − m), which puts r strictly between the
// same two whole numbers as t.
inline constexpr double lanczos3_weight_sum = 1.54347827;
inline constexpr int lanczos3_sum_roundings = 10;
inline constexpr Float32Bound lanczos3_float32 = [] {
    constexpr double terms = 255 * lanczos3_weight_sum * lanczos3_weight_sum;
    constexpr int reference_roundings = lanczos3.taps * lanczos3.taps + 1;
    return Float32Bound{gamma(2 + lanczos3_sum_roundings, 0x1p-24) * terms +
                            gamma(reference_roundings, 0x1p-53) * terms + 0x1p-130,
                        0x1p-11f};
}();
static_assert(lanczos3_float32.margin >= lanczos3_float32.bound + 0x1p-16 + 0x1p-45);
static_assert(lanczos3_float32.bound > 4.34513e-4 && lanczos3_float32.bound < 4.34514e-4,
              "the figure the derivation above quotes");

// Bilinear (8-bit gray and RGB, float32 coordinate maps). The kernel takes a
// position (x, y) of map entries only when 0.5 <= x < last_col and 0.5 <= y <
// last_row, both below 2^24 (float32_bilinear_ready); elsewhere the exact
// kernel runs.
// - Its float steps are the reference's double ones. x converts to double
//   exactly, and floor(x), a whole number below 2^24, is the same in both.
//   x lies in [2^k, 2^(k+1)) with k >= -1 and is a multiple of 2^(k-23), so
//   t = x - floor(x) is a multiple of 2^(k-23) >= 2^-24 in [0, 1), fewer
//   than 2^24 of them: exact in float and in double. So is 1 - t, a multiple
//   of 2^-24 in (0, 1]. A weight is a product of two such numbers, at most
//   48 significant bits, exact in double: the reference's weights are the
//   real products, which sum to exactly 1 (L = 1), and the float product,
//   rounded once, is the reference's weight converted to float. floor(x) is
//   in [0, last_col - 1], so no tap is clamped.
// - Terms: S = Σ p·w over the four taps, Σ |p·w| <= 255·L, p in [0, 255].
//   A nonzero weight is at least 2^-48 and every term is >= 0: nothing falls
//   below 2^-126.
// - Float weights and sums: 1 rounding for the weight, then a product and at
//   most 3 additions, bilinear_sum_roundings = 4 (see Float32Bilinear), none
//   fused: |Ŝ - S| <= γ(5, u)·255·L.
// - The reference's double sum: 1 rounding for the product, 3 additions:
//   |S_double - S| <= γ(4, 2^-53)·255·L.
// The bound is 7.599594e-5.
// The check. S_double lies in [0, 255·(1 + γ(4, 2^-53))], so the reference's
// r = S_double + 1/2 rounded to double lies in [1/2, 256), within 2^-45 of the
// sum, and its byte is floor(r). The float path rounds Ŝ to the nearest whole
// number n, in [0, 255] since Ŝ < 255.5; where |Ŝ - n| < 1/2 - m (the
// difference is exact: Sterbenz' lemma, or n = 0), r lies in (n + m - bound -
// 2^-45, n + 1 - m + bound + 2^-45), inside (n, n + 1) when m >= bound +
// 2^-45: then the byte is n. m = 2^-13 is, and keeps 1/2 - m exact in float.
inline constexpr double bilinear_weight_sum = 1;
inline constexpr int bilinear_sum_roundings = 4;
inline constexpr Float32Bound bilinear_float32 = [] {
    constexpr double terms = 255 * bilinear_weight_sum;
    constexpr int reference_roundings = bilinear.taps * bilinear.taps;
    return Float32Bound{gamma(1 + bilinear_sum_roundings, 0x1p-24) * terms +
                            gamma(reference_roundings, 0x1p-53) * terms,
                        0x1p-13f};
}();
static_assert(bilinear_float32.margin >= bilinear_float32.bound + 0x1p-45);
static_assert(bilinear_float32.bound > 7.599594e-5 && bilinear_float32.bound < 7.599595e-5,
              "the figure the derivation above quotes");

// The float32 bilinear kernel's positions and floors are exact floats below
// 2^24.
template <class T, int C>
bool float32_bilinear_ready(const SourceView<T, C>& src) {
    return src.last_col < (std::int64_t{1} << 24) && src.last_row < (std::int64_t{1} << 24);
}

}  // namespace trelvane
