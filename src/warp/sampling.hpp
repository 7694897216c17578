// Sampling kernels: one output pixel from a source image at a real-valued
// position. Integer positions are pixel centres; the valid domain is
// [-0.5, w - 0.5] × [-0.5, h - 0.5]. A kernel writes all C channels of its
// destination or, outside the domain, none.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "shared.hpp"
#include "warp/filter.hpp"

namespace trelvane {

// A borrowed row-major image of C interleaved channels.
template <class T, int C>
struct SourceView {
    static constexpr std::uint64_t max_side = std::uint64_t{1} << 52;
    const T* samples;
    std::uint64_t width;
    std::uint64_t height;
    double max_x;           // width - 0.5: the domain's right edge
    double max_y;           // height - 0.5
    std::int64_t last_col;  // width - 1, -1 for an empty image
    std::int64_t last_row;

    // The length has been checked by the caller; checking it once here covers
    // every clamped index a kernel computes.
    SourceView(std::span<const T> s, std::uint64_t w, std::uint64_t h)
        : samples(s.data()), width(w), height(h),
          max_x(static_cast<double>(w) - 0.5), max_y(static_cast<double>(h) - 0.5),
          last_col(static_cast<std::int64_t>(w) - 1), last_row(static_cast<std::int64_t>(h) - 1) {
        if (dims_product(dims_product(w, h), C) != s.size())
            fail("source view length does not match its size");
        if (!s.empty() && (w > max_side || h > max_side)) fail("source view too large for exact positions");
    }

    bool outside(double x, double y) const {
        return x < -0.5 || x > max_x || y < -0.5 || y > max_y;
    }
    // A position in the domain of an empty image has no pixel to clamp to.
    void require_pixels() const {
        if (last_col < 0 || last_row < 0) fail_empty_range(0, -1);
    }
    const T* pixel(std::int64_t col, std::int64_t row) const {
        return samples + (static_cast<std::uint64_t>(row) * width + static_cast<std::uint64_t>(col)) * C;
    }
};

// Round half up, saturate at 0 and the sample maximum; NaN stores 0. Written
// as selects so that it compiles without branches; a false comparison picks
// the bound, so NaN becomes 0. V is double or a vector of doubles.
template <class T, class V>
inline V rounded_sample(V v) {
    const V zero{}, max = zero + std::numeric_limits<T>::max();
    V r = v + 0.5;
    r = r > zero ? r : zero;
    return r < max ? r : max;
}
template <class T>
inline T to_sample(double v) {
    return static_cast<T>(static_cast<std::int32_t>(rounded_sample<T>(v)));
}

// Three channels of one pixel as the lanes of two SSE2-sized vectors (the last
// lane idle): each vector operation performs every channel's scalar operation
// in the same order, with half the arithmetic instructions.
struct Rgb {
    typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
    typedef std::int32_t Ints __attribute__((vector_size(2 * sizeof(std::int32_t))));
    Pair lo, hi;  // channels 0 and 1; channel 2 and an idle lane

    friend Rgb operator+(Rgb a, Rgb b) { return {a.lo + b.lo, a.hi + b.hi}; }
    friend Rgb operator*(Rgb a, double w) { return {a.lo * w, a.hi * w}; }
};
template <int C>
using Channels = std::conditional_t<C == 1, double, Rgb>;

template <class T, int C>
inline Channels<C> load_pixel(const T* p) {
    if constexpr (C == 1)
        return double(p[0]);
    else  // element-wise loads: a wider load could read past the last pixel
        return {__builtin_convertvector(Rgb::Ints{p[0], p[1]}, Rgb::Pair),
                __builtin_convertvector(Rgb::Ints{p[2], 0}, Rgb::Pair)};
}

template <class T, int C>
inline void store_pixel(Channels<C> v, T* dest) {
    if constexpr (C == 1) {
        dest[0] = to_sample<T>(v);
    } else {
        const auto lo = __builtin_convertvector(rounded_sample<T>(v.lo), Rgb::Ints);
        const auto hi = __builtin_convertvector(rounded_sample<T>(v.hi), Rgb::Ints);
        dest[0] = static_cast<T>(lo[0]);
        dest[1] = static_cast<T>(lo[1]);
        dest[2] = static_cast<T>(hi[0]);
    }
}

// floor(x) as an integer and as a double. Baseline x86-64 has no rounding
// instruction and a library call per sample is costly, so floor is truncation
// corrected downwards. Exact for |x| < 2^52, which covers every position
// inside a non-empty source (its sides are below 2^52, see SourceView).
struct Floor {
    std::int64_t i;
    double f;
};
inline Floor floor_of(double x) {
    std::int64_t i = static_cast<std::int64_t>(x);
    double f = static_cast<double>(i);
    if (f > x) i -= 1, f -= 1;
    return {i, f};
}

// The C library's round (halves away from zero) for 0 <= v < 2^52, exactly:
// v minus its integer part is exact at these magnitudes.
inline std::uint64_t round_non_negative(double v) {
    const auto t = static_cast<std::uint64_t>(v);
    return t + (v - static_cast<double>(t) >= 0.5 ? 1 : 0);
}

// Vector twin: Bilinear in vector_rows-inl.hpp repeats these operations in
// this order on lanes; change both.
template <class T, int C>
inline void sample_bilinear(const SourceView<T, C>& src, double x, double y, T* dest) {
    if (src.outside(x, y)) return;
    src.require_pixels();
    if (x != x || y != y) {  // NaN weights make every channel NaN, stored as 0
        for (int c = 0; c < C; ++c) dest[c] = 0;
        return;
    }
    const Floor fx = floor_of(x), fy = floor_of(y);
    const double tx = x - fx.f, ty = y - fy.f;
    // floor(x) is in [-1, last_col] inside the domain: one side clamps at most.
    const std::int64_t x0 = fx.i < 0 ? 0 : fx.i, x1 = fx.i < src.last_col ? fx.i + 1 : src.last_col;
    const std::int64_t y0 = fy.i < 0 ? 0 : fy.i, y1 = fy.i < src.last_row ? fy.i + 1 : src.last_row;
    const double w00 = (1 - tx) * (1 - ty), w01 = tx * (1 - ty);
    const double w10 = (1 - tx) * ty, w11 = tx * ty;
    const T* p00 = src.pixel(x0, y0);
    const T* p10 = src.pixel(x0, y1);
    const std::int64_t dx = (x1 - x0) * C;
    const Channels<C> v = ((load_pixel<T, C>(p00) * w00 + load_pixel<T, C>(p00 + dx) * w01) +
                           load_pixel<T, C>(p10) * w10) +
                          load_pixel<T, C>(p10 + dx) * w11;
    store_pixel<T, C>(v, dest);
}

// The filters as data, in the manner of Pillow's {function, support}: the
// scalar samplers, the exact vector kernels and the float32 paths read them.
// Along an axis, tap i of position x is pixel floor(x) + first + i, clamped
// to the image. Bilinear weighs its two taps 1 − t and t, t = x − floor(x),
// and has no table (phases 0). Lanczos-3 weighs tap i with entry k = round(t
// · phases) of a table of phases + 1 entries (both ends); weight i of entry k
// is lanczos3_weight(k / phases − first − i), normalised, and zero at
// distances of `support` or more.
struct FilterShape {
    int support;
    int taps;
    int first;
    std::size_t phases;
    double phase_step;  // 1 / phases, exactly; 0 without a table
};

inline constexpr FilterShape bilinear{1, 2, 0, 0, 0};
inline constexpr FilterShape lanczos3{3, 6, -2, 1024, 0.0009765625};
static_assert(lanczos3.phase_step * lanczos3.phases == 1);
static_assert(bilinear.taps == 2 * bilinear.support && bilinear.first == 1 - bilinear.support);
static_assert(lanczos3.taps == 2 * lanczos3.support && lanczos3.first == 1 - lanczos3.support);

using LanczosWeights = std::array<double, lanczos3.taps>;
using LanczosTable = std::vector<LanczosWeights>;
// The vector kernels index the table as one array of doubles: entry k starts
// at weight taps × k.
static_assert(sizeof(LanczosWeights) == lanczos3.taps * sizeof(double), "table entries lie back to back");

double lanczos3_weight(double d);
LanczosTable build_lanczos_table();

// Vector twin: Lanczos3 in vector_rows-inl.hpp repeats these operations in
// this order on lanes; change both.
template <class T, int C>
inline void sample_lanczos3(const SourceView<T, C>& src, const LanczosTable& table, double x,
                            double y, T* dest) {
    if (src.outside(x, y)) return;
    src.require_pixels();
    // A NaN axis has phase 0 and base 0: it samples as at coordinate 0.
    if (x != x) x = 0;
    if (y != y) y = 0;
    const Floor fx = floor_of(x), fy = floor_of(y);
    const std::uint64_t kx = round_non_negative((x - fx.f) * lanczos3.phases);
    const std::uint64_t ky = round_non_negative((y - fy.f) * lanczos3.phases);
    if (kx >= table.size() || ky >= table.size()) fail("Lanczos phase outside the table");
    const LanczosWeights& wx = table[kx];
    const LanczosWeights& wy = table[ky];
    const std::int64_t bx = fx.i, by = fy.i;

    // Tap pixels; inside the image no clamping is needed.
    std::array<std::int64_t, lanczos3.taps> cols, rows;
    constexpr int first = lanczos3.first, last = lanczos3.first + lanczos3.taps - 1;
    const bool interior =
        bx + first >= 0 && by + first >= 0 && bx + last <= src.last_col && by + last <= src.last_row;
    for (int i = 0; i < lanczos3.taps; ++i) {
        cols[i] = interior ? bx + first + i : std::clamp<std::int64_t>(bx + first + i, 0, src.last_col);
        rows[i] = interior ? by + first + i : std::clamp<std::int64_t>(by + first + i, 0, src.last_row);
    }

    Channels<C> sum{};
    for (int j = 0; j < lanczos3.taps; ++j) {
        const T* row = src.pixel(0, rows[j]);
        for (int i = 0; i < lanczos3.taps; ++i) sum = sum + load_pixel<T, C>(row + cols[i] * C) * (wx[i] * wy[j]);
    }
    store_pixel<T, C>(sum, dest);
}

// The sampler of filter F; the row routines pick it once per call.
template <Filter F, class T, int C>
inline void sample(const SourceView<T, C>& src, const LanczosTable& table, double x, double y,
                   T* dest) {
    if constexpr (F == Filter::Bilinear)
        sample_bilinear(src, x, y, dest);
    else
        sample_lanczos3(src, table, x, y, dest);
}

}  // namespace trelvane
