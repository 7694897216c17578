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
#include <vector>

#include "../shared.hpp"

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
// as selects so that it compiles without branches.
template <class T>
inline T to_sample(double v) {
    constexpr double max = std::numeric_limits<T>::max();
    double r = v + 0.5;
    r = 0 > r ? 0 : r;  // NaN stays NaN
    r = max < r ? max : r;
    r = r == r ? r : 0;
    return static_cast<T>(static_cast<std::int32_t>(r));
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
    const std::int64_t x0 = std::clamp<std::int64_t>(fx.i, 0, src.last_col);
    const std::int64_t x1 = std::clamp<std::int64_t>(fx.i + 1, 0, src.last_col);
    const std::int64_t y0 = std::clamp<std::int64_t>(fy.i, 0, src.last_row);
    const std::int64_t y1 = std::clamp<std::int64_t>(fy.i + 1, 0, src.last_row);
    const double w00 = (1 - tx) * (1 - ty), w01 = tx * (1 - ty);
    const double w10 = (1 - tx) * ty, w11 = tx * ty;
    const T* p00 = src.pixel(x0, y0);
    const T* p01 = src.pixel(x1, y0);
    const T* p10 = src.pixel(x0, y1);
    const T* p11 = src.pixel(x1, y1);
    for (int c = 0; c < C; ++c) {
        const double v = ((double(p00[c]) * w00 + double(p01[c]) * w01) + double(p10[c]) * w10) +
                         double(p11[c]) * w11;
        dest[c] = to_sample<T>(v);
    }
}

// Six normalised tap weights for each sub-pixel phase k / 1024, k = 0 … 1024.
using LanczosWeights = std::array<double, 6>;
using LanczosTable = std::vector<LanczosWeights>;
inline constexpr std::size_t lanczos_phases = 1024;

double lanczos3_weight(double d);
LanczosTable build_lanczos_table();

template <class T, int C>
inline void sample_lanczos3(const SourceView<T, C>& src, const LanczosTable& table, double x,
                            double y, T* dest) {
    if (src.outside(x, y)) return;
    src.require_pixels();
    // A NaN axis has phase 0 and base 0: it samples as at coordinate 0.
    if (x != x) x = 0;
    if (y != y) y = 0;
    const Floor fx = floor_of(x), fy = floor_of(y);
    const std::uint64_t kx = round_non_negative((x - fx.f) * 1024);
    const std::uint64_t ky = round_non_negative((y - fy.f) * 1024);
    if (kx >= table.size() || ky >= table.size()) fail("Lanczos phase outside the table");
    const LanczosWeights& wx = table[kx];
    const LanczosWeights& wy = table[ky];
    const std::int64_t bx = fx.i, by = fy.i;

    // Tap pixels; inside the image no clamping is needed.
    std::array<std::int64_t, 6> cols, rows;
    const bool interior =
        bx >= 2 && by >= 2 && bx + 3 <= src.last_col && by + 3 <= src.last_row;
    for (int i = 0; i < 6; ++i) {
        cols[i] = interior ? bx - 2 + i : std::clamp<std::int64_t>(bx - 2 + i, 0, src.last_col);
        rows[i] = interior ? by - 2 + i : std::clamp<std::int64_t>(by - 2 + i, 0, src.last_row);
    }

    std::array<double, C> sum{};
    for (int j = 0; j < 6; ++j) {
        const T* row = src.pixel(0, rows[j]);
        for (int i = 0; i < 6; ++i) {
            const double weight = wx[i] * wy[j];
            const T* p = row + cols[i] * C;
            for (int c = 0; c < C; ++c) sum[c] = sum[c] + double(p[c]) * weight;
        }
    }
    for (int c = 0; c < C; ++c) dest[c] = to_sample<T>(sum[c]);
}

}  // namespace trelvane
