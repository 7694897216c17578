// The exact vector kernels of the resampling calls and the pieces the float32
// kernels share with them, compiled once per instruction-set level: the
// including file defines TRELVANE_LEVEL (the namespace) and is compiled with
// that level's -march (vector_rows_avx2.cpp, through vector_rows-inl.hpp). The
// kernels are written on the lane primitives of vector_ops-inl.hpp, which hold
// every intrinsic and every choice by level.
//
// Bit-exactness rules. The scalar samplers are the reference, and every lane
// reproduces them bit for bit:
// - Lanes are output pixels. Each lane performs the scalar sampler's IEEE
//   operations in the scalar order: no fused multiply-add (the build keeps
//   -ffp-contract=off and a test scans the module for FMA instructions), no
//   reassociation, no approximate reciprocals or roundings.
// - floor is the exact rounding instruction, which gives the scalar's floor
//   (see floor_of), the Lanczos phase is the scalar's round, the output
//   conversion is the very same template (rounded_sample) applied to vectors,
//   and the domain test, the NaN rules and the border clamps are the scalar
//   ones, written on lanes.
// - Lanes outside the domain, NaN lanes of the bilinear filter and inactive
//   positions are masked out of every gather and store 0, which is what the
//   zero-filled output already holds.
// - A gather never reads outside the source: each fetches an 8-byte word, and
//   a group whose farthest word could pass the source's end is sampled by the
//   scalar code instead. Offsets are 32-bit: larger sources never get here
//   (vector_ready).
// The float32 kernels (float32_rows-inl.hpp) replace the sums of these
// kernels under a proven bound, and fall back on them where it does not hold.

#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "warp/positions.hpp"
#include "warp/sampling.hpp"
#include "warp/vector_ops-inl.hpp"
#include "warp/vector_rows.hpp"

namespace trelvane::TRELVANE_LEVEL {
namespace {

// Calls f(std::integral_constant<int, i>) for i = 0 … Count − 1 in order, so
// that per-tap constants (shuffle controls) are known when compiling.
template <int Count, class F>
inline void static_for(F&& f) {
    [&]<int... I>(std::integer_sequence<int, I...>) {
        (f(std::integral_constant<int, I>{}), ...);
    }(std::make_integer_sequence<int, Count>{});
}

// The scalar round_non_negative on lanes.
inline Vi round_non_negative(Vd v) {
    const Vi t = truncate(v);
    return t - narrow(v - to_double(t) >= 0.5);
}

// The positions of N consecutive output pixels starting at x.
struct Lanes {
    Vd x, y;
    Vq active;
};

inline Lanes lanes_at(const MapRow& row, std::size_t x) {
    Vf mx, my;
    std::memcpy(&mx, row.map_x + x, sizeof mx);
    std::memcpy(&my, row.map_y + x, sizeof my);
    return {__builtin_convertvector(mx, Vd), __builtin_convertvector(my, Vd), Vq{} - 1};
}

inline Lanes lanes_at(const HomographyRow& row, std::size_t c) {
    const Homography& H = *row.H;
    Vd u;
    std::memcpy(&u, row.u + c, sizeof u);
    const Vd W = H[6] * u + row.C;
    return {(u * H[0] + row.A) / W, (H[3] * u + row.B) / W, W != 0};
}

// The scalar sampler on the active pixels of a group that no vector kernel
// takes.
template <class T, int C, class Sampler>
void sample_scalar(const Sampler& exact, const Lanes& p, T* dest) {
    for (int l = 0; l < N; ++l)
        if (p.active[l]) exact(p.x[l], p.y[l], dest + l * C);
}

// The scalar sampler on output pixels [from, width) of a row: the tail too
// short for a group.
template <class T, int C, class Sampler, class Row>
void sample_rest(const Sampler& exact, const Row& row, std::size_t from, std::size_t width, T* out) {
    for (std::size_t x = from; x < width; ++x) {
        const Position p = position_at(row, x);
        if (p.active) exact(p.x, p.y, out + x * C);
    }
}

template <class T, int C>
struct Source {
    const unsigned char* bytes;
    std::int32_t width, last_col, last_row;
    std::int32_t last_word;  // the largest byte offset an 8-byte word may start at
    double max_x, max_y;
    static constexpr int pixel_bytes = C * sizeof(T);

    explicit Source(const SourceView<T, C>& view)
        : bytes(reinterpret_cast<const unsigned char*>(view.samples)),
          width(static_cast<std::int32_t>(view.width)),
          last_col(static_cast<std::int32_t>(view.last_col)),
          last_row(static_cast<std::int32_t>(view.last_row)),
          last_word(static_cast<std::int32_t>(view.width * view.height * pixel_bytes) - 8),
          max_x(view.max_x), max_y(view.max_y) {}

    // The scalar domain test on lanes: NaN passes, ±inf does not.
    Vq inside(const Lanes& p) const {
        return p.active & ~(p.x < -0.5) & ~(p.x > max_x) & ~(p.y < -0.5) & ~(p.y > max_y);
    }
    Vi offset(Vi row, Vi col) const { return (row * width + col) * pixel_bytes; }
    bool beyond_end(Vi farthest_word, Vq m) const { return any(m & widen(farthest_word > last_word)); }
};

// Stores 0 in the lanes outside `live`, and writes the N pixels interleaved.
template <class T, int C>
inline void store_samples(const Vi (&sample)[C], Vq live, T* dest) {
    if constexpr (C == 1) {
        typedef T Vt __attribute__((vector_size(N * sizeof(T))));
        const Vt samples = __builtin_convertvector(sample[0] & narrow(live), Vt);
        std::memcpy(dest, &samples, sizeof samples);
    } else if constexpr (sizeof(T) == 1) {
        store_rgb8(sample, live, dest);
    } else {
        store_rgb16(sample, live, dest);
    }
}

// Rounds each channel as the scalar code does, then stores as store_samples.
template <class T, int C>
inline void store_pixels(const Vd (&value)[C], Vq live, T* dest) {
    Vi sample[C];
    for (int c = 0; c < C; ++c) sample[c] = to_samples<T>(value[c]);
    store_samples<T, C>(sample, live, dest);
}

// The scalar reference for one output pixel at (x, y): the sampler of the
// groups a gather could take past the source's end, of the pixels after the
// last whole group and of the outputs a float32 kernel cannot vouch for.
template <class T, int C, Filter F>
struct ScalarSampler {
    const SourceView<T, C>& view;
    const LanczosTable& table;
    void operator()(double x, double y, T* dest) const { sample<F>(view, table, x, y, dest); }
};

// A group of N lanes after its positions are known: nothing to sample, the
// vector path, or the scalar samplers (a gather could pass the source's end).
enum class Group { Empty, Vector, Scalar };

// Bilinear kernel in three steps: plan (positions to offsets and fractions),
// fetch (the gathers) and finish (weights, sums, store).
template <class T, int C>
struct Bilinear {
    static constexpr int groups_per_block = 16;
    // Both taps of a row in one word when they fit; else one word per tap.
    static constexpr bool pairs = 2 * Source<T, C>::pixel_bytes <= 8;
    static constexpr int words = pairs ? 2 : 4;
    struct Plan {
        Vd tx, ty;
        Vq live, clamped;
        Vi offset[words];
        Vu word[words];
    };
    const Source<T, C>& source;

    Group plan(const Lanes& p, Plan& g) const {
        const Vq in = source.inside(p);
        if (!any(in)) return Group::Empty;
        // NaN lanes store 0: take them out like the lanes outside the domain.
        g.live = in & (p.x == p.x) & (p.y == p.y);
        const Vd x = g.live ? p.x : Vd{}, y = g.live ? p.y : Vd{};
        const Floors fx = floor_of(x), fy = floor_of(y);
        g.tx = x - fx.f;
        g.ty = y - fy.f;
        const Vi x0 = max(fx.i, Vi{}), x1 = min(fx.i + 1, Vi{} + source.last_col);
        const Vi y0 = max(fy.i, Vi{}), y1 = min(fy.i + 1, Vi{} + source.last_row);
        g.clamped = widen(x1 == x0);
        g.offset[0] = source.offset(y0, x0);
        g.offset[1] = source.offset(y1, x0);
        if constexpr (!pairs) {
            g.offset[2] = source.offset(y0, x1);
            g.offset[3] = source.offset(y1, x1);
        }
        if (source.beyond_end(g.offset[words - 1], g.live)) return Group::Scalar;
        for (int k = 0; k < words; ++k) prefetch_lanes(source.bytes, narrow(g.live) ? g.offset[k] : Vi{});
        return Group::Vector;
    }

    void fetch(Plan& g) const {
        for (int k = 0; k < words; ++k) g.word[k] = gather_words(source.bytes, g.offset[k], g.live);
    }

    // A group's two or four gathers are issued right before its sums
    // (measured faster than a pass of gathers over the block).
    static constexpr bool fetch_whole_block = false;
    static constexpr bool finish_pairs = false;
    void finish(const Plan& g, T* dest) const {
        const Vd tx = g.tx, ty = g.ty;
        const Vd w00 = (1 - tx) * (1 - ty), w01 = tx * (1 - ty);
        const Vd w10 = (1 - tx) * ty, w11 = tx * ty;
        // With pairs, the right tap repeats the left one where the clamp made
        // them one pixel.
        const Vu right0 = g.word[pairs ? 0 : 2], right1 = g.word[pairs ? 1 : 3];
        constexpr int right = pairs ? C : 0;
        Vd value[C];
        static_for<C>([&](auto c) {
            const Vd p00 = sample_in_word<T, c>(g.word[0]), p10 = sample_in_word<T, c>(g.word[1]);
            Vd p01 = sample_in_word<T, right + c>(right0), p11 = sample_in_word<T, right + c>(right1);
            if constexpr (pairs) {
                p01 = g.clamped ? p00 : p01;
                p11 = g.clamped ? p10 : p11;
            }
            value[c] = ((p00 * w00 + p01 * w01) + p10 * w10) + p11 * w11;
        });
        store_pixels<T, C>(value, g.live, dest);
    }
};

// Lanczos-3 kernel in the same three steps; fetch also loads the weights.
template <class T, int C>
struct Lanczos3 {
    static constexpr int groups_per_block = 4;
    static constexpr int pixel_bytes = Source<T, C>::pixel_bytes;
    // Words that cover the six taps of a row when they lie side by side.
    static constexpr int interior_words = (lanczos3.taps * pixel_bytes + 7) / 8;
    struct Plan {
        Vq in;
        bool interior;
        Vi kx, ky;  // table entries of the tap weights
        Vd wx[lanczos3.taps], wy[lanczos3.taps];
        Vi row_offset[lanczos3.taps], column_offset[lanczos3.taps];
        Vu word[lanczos3.taps][lanczos3.taps];  // [row][word]: one per tap column, or fewer when interior
    };
    const Source<T, C>& source;
    const double* table;  // the entries back to back

    Group plan(const Lanes& p, Plan& g) const {
        g.in = source.inside(p);
        if (!any(g.in)) return Group::Empty;
        // A NaN axis samples as at coordinate 0; lanes outside are zeroed too
        // so that every conversion below stays in range.
        const Vd x = (g.in & (p.x == p.x)) ? p.x : Vd{}, y = (g.in & (p.y == p.y)) ? p.y : Vd{};
        const Floors fx = floor_of(x), fy = floor_of(y);
        g.kx = round_non_negative((x - fx.f) * double(lanczos3.phases));
        g.ky = round_non_negative((y - fy.f) * double(lanczos3.phases));
        constexpr std::int32_t last_phase = lanczos3.phases;
        if (any(g.in & widen((g.kx > last_phase) | (g.ky > last_phase))))
            fail("Lanczos phase outside the table");
        // Tap rows are clamped per lane. Tap columns come from consecutive
        // words, 8 bytes apart, when every lane's six columns lie inside the
        // image, else from one word per clamped column. Either way the last
        // word is the farthest. The interior test therefore looks at columns
        // only, where the scalar one looks at both axes: a clamp inside the
        // image changes no tap, so it decides nothing about the result, only
        // how the columns are read (the scalar test just skips the clamps).
        const Vi bx = fx.i, by = fy.i;
        constexpr int first_tap = lanczos3.first, last_tap = lanczos3.first + lanczos3.taps - 1;
        g.interior = !any(g.in & widen((bx + first_tap < 0) | (bx + last_tap > source.last_col)));
        const int words = g.interior ? interior_words : lanczos3.taps;
        for (int k = 0; k < words; ++k)
            g.column_offset[k] = g.interior ? (bx + first_tap) * pixel_bytes + 8 * k
                                            : min(max(bx + first_tap + k, Vi{}), Vi{} + source.last_col) * pixel_bytes;
        for (int j = 0; j < lanczos3.taps; ++j)
            g.row_offset[j] = min(max(by + first_tap + j, Vi{}), Vi{} + source.last_row) * source.width * pixel_bytes;
        if (source.beyond_end(g.row_offset[lanczos3.taps - 1] + g.column_offset[words - 1], g.in)) return Group::Scalar;
        const Vi first = narrow(g.in) ? g.column_offset[0] : Vi{};
        for (int j = 0; j < lanczos3.taps; ++j) prefetch_lanes(source.bytes, first + g.row_offset[j]);
        return Group::Vector;
    }

    // The weights are loaded here rather than in plan: a shorter plan lets
    // the plans of a block overlap. Every group of a block is fetched before
    // any is summed, so that its many gathers are in flight together.
    static constexpr bool fetch_whole_block = true;
    void fetch(Plan& g) const {
        load_weights(table, g.kx, g.wx);
        load_weights(table, g.ky, g.wy);
        const int words = g.interior ? interior_words : lanczos3.taps;
        for (int j = 0; j < lanczos3.taps; ++j)
            for (int k = 0; k < words; ++k)
                g.word[j][k] = gather_words(source.bytes, g.row_offset[j] + g.column_offset[k], g.in);
    }

    // The 36 products, rows outer and columns inner, for K groups at once.
    // Interior: channel c of tap i is byte i × pixel_bytes + c × sizeof(T) of
    // the row's words, never split between two; else word i holds tap i.
    template <bool Interior, int K>
    void sum_taps(const Plan* const (&g)[K], Vd (&sum)[K][C]) const {
        for (int j = 0; j < lanczos3.taps; ++j)
            static_for<lanczos3.taps>([&](auto i) {
                for (int k = 0; k < K; ++k) {
                    const Vd weight = g[k]->wx[i] * g[k]->wy[j];
                    static_for<C>([&](auto c) {
                        constexpr int byte = (Interior ? i * pixel_bytes : 0) + c * int(sizeof(T));
                        const Vu word = g[k]->word[j][Interior ? byte / 8 : i];
                        sum[k][c] = sum[k][c] + sample_in_word<T, byte % 8 / sizeof(T)>(word) * weight;
                    });
                }
            });
    }

    void finish(const Plan& g, T* dest) const {
        Vd sum[1][C] = {};
        if (g.interior)
            sum_taps<true>({&g}, sum);
        else
            sum_taps<false>({&g}, sum);
        store_pixels<T, C>(sum[0], g.in, dest);
    }

    // A gray sum is one chain of 36 dependent additions: summing two groups
    // together keeps twice as many additions in flight.
    static constexpr bool finish_pairs = C == 1;
    void finish_pair(const Plan& a, const Plan& b, T* dest) const {
        if (!a.interior || !b.interior) {
            finish(a, dest);
            finish(b, dest + N * C);
            return;
        }
        Vd sum[2][C] = {};
        sum_taps<true>({&a, &b}, sum);
        store_pixels<T, C>(sum[0], a.in, dest);
        store_pixels<T, C>(sum[1], b.in, dest + N * C);
    }
};

}  // namespace
}  // namespace trelvane::TRELVANE_LEVEL
