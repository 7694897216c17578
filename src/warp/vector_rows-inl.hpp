// Vector row routines of the resampling calls, compiled once per instruction
// set level: the including file defines TRELVANE_LEVEL (the namespace) and is
// compiled with that level's -march. Only the level's own translation unit
// includes this file. The kernels are written on the lane primitives of
// vector_ops-inl.hpp, which hold every intrinsic and every choice by level.
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
// One exception, proven rather than imitated: the filtered (float32) path of
// 8-bit RGB Lanczos-3 sums in float with fused multiply-adds, in
// filtered_sums alone, and stores a pixel only where the bound of
// lanczos3.float_bound shows its bytes to be the scalar sampler's; the scalar
// sampler computes every other pixel of the group.

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

// The float32 sums of an interior Lanczos-3 group of 8-bit RGB pixels, one
// per channel, within lanczos3.float_bound of the reference's (see there).
// The 18 bytes of a tap row pair up, (0, 1), (2, 3) …, each pair one vector
// of 2N floats (byte_pair); pair k adds into partial sum k mod 3, so that the
// first and the second taps of a partial sum always hold one channel each. A
// row's partial sums are weighted by wy and added over the rows; last, the
// two parts of each channel are added. Fused multiply-adds are
// allowed here only (the bound counts them): the function stays out of line
// so that the machine-code scan can tell it by name.
[[gnu::noinline]] void filtered_sums(const Vu (&word)[lanczos3.taps][lanczos3.taps],
                                     const Vd (&wx)[lanczos3.taps], const Vd (&wy)[lanczos3.taps],
                                     Vf (&sum)[3]) {
    constexpr int C = 3, pairs = lanczos3.taps * C / 2;
    static_assert(pairs % 3 == 0, "each part of a partial sum keeps one channel");
    V2f wxp[pairs];
    static_for<pairs>([&](auto k) {
        wxp[k] = interleave_pairs(__builtin_convertvector(wx[2 * k / C], Vf),
                                  __builtin_convertvector(wx[(2 * k + 1) / C], Vf));
    });
    V2f partial[3];
    for (int j = 0; j < lanczos3.taps; ++j) {
        V2f row[3];
        static_for<pairs>([&](auto k) {
            const V2f p = byte_pair<2 * k % 8, 2 * k % 8 + 1>(word[j][k / 4]);
            if constexpr (k < 3)
                row[k] = p * wxp[k];
            else
                row[k % 3] = fused_multiply_add(p, wxp[k], row[k % 3]);
        });
        const Vf wyf = __builtin_convertvector(wy[j], Vf);
        const V2f weight = interleave_pairs(wyf, wyf);
        for (int m = 0; m < 3; ++m) partial[m] = j == 0 ? row[m] * weight : fused_multiply_add(row[m], weight, partial[m]);
    }
    // First and second taps: channels 0 1 of partial 0, 2 0 of 1, 1 2 of 2.
    sum[0] = first_taps(partial[0] + swap_taps(partial[1]));
    sum[1] = first_taps(partial[2] + swap_taps(partial[0]));
    sum[2] = first_taps(partial[1] + swap_taps(partial[2]));
}

// Lanczos-3 kernel in the same three steps; fetch also loads the weights.
// Filtered: interior groups of 8-bit RGB pixels are summed in float32, and an
// output pixel whose bytes the bound cannot vouch for is recomputed by the
// scalar sampler.
template <class T, int C, bool Filtered>
struct Lanczos3 {
    static constexpr int groups_per_block = 4;
    static constexpr int pixel_bytes = Source<T, C>::pixel_bytes;
    // Words that cover the six taps of a row when they lie side by side.
    static constexpr int interior_words = (lanczos3.taps * pixel_bytes + 7) / 8;
    struct Plan {
        Vd x, y;  // the positions, for the scalar fallback of the filtered path
        Vq in;
        bool interior;
        Vi kx, ky;  // table entries of the tap weights
        Vd wx[lanczos3.taps], wy[lanczos3.taps];
        Vi row_offset[lanczos3.taps], column_offset[lanczos3.taps];
        Vu word[lanczos3.taps][lanczos3.taps];  // [row][word]: one per tap column, or fewer when interior
    };
    const Source<T, C>& source;
    const double* table = nullptr;
    const SourceView<T, C>* view = nullptr;  // for the scalar fallback
    const LanczosTable* lanczos = nullptr;
    std::uint64_t recomputed = 0;  // output pixels of the fallback

    Group plan(const Lanes& p, Plan& g) const {
        if constexpr (Filtered) g.x = p.x, g.y = p.y;
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

    void finish(const Plan& g, T* dest) {
        if constexpr (Filtered) {
            if (g.interior) return finish_filtered(g, dest);
        }
        Vd sum[1][C] = {};
        if (g.interior)
            sum_taps<true>({&g}, sum);
        else
            sum_taps<false>({&g}, sum);
        store_pixels<T, C>(sum[0], g.in, dest);
    }

    // Stores the float32 sums where the bound proves every channel's byte the
    // reference's, and samples the other pixels again with the scalar code.
    // With t = sum + 1/2 and m = lanczos3.check_margin, the byte is floor(t)
    // clamped to [0, 255] when t < 1 − m (0), t > 255 + m (255) or the
    // fraction of t is farther than m from 0 and 1 (see lanczos3).
    void finish_filtered(const Plan& g, T* dest) {
        Vf sum[C];
        filtered_sums(g.word, g.wx, g.wy, sum);
        constexpr float m = lanczos3.check_margin;
        Vi sure = narrow(g.in), sample[C];
        for (int c = 0; c < C; ++c) {
            const Vf t = sum[c] + 0.5f, whole = floor_floats(t), fraction = t - whole;
            sure &= (t < 1 - m) | (t > 255 + m) | ((fraction > m) & (fraction < 1 - m));
            sample[c] = min(max(__builtin_convertvector(whole, Vi), Vi{}), Vi{} + 255);
        }
        store_samples<T, C>(sample, g.in, dest);
        const Vq redo = g.in & ~widen(sure);
        if (!any(redo)) return;
        for (int l = 0; l < N; ++l)
            if (redo[l]) {
                sample_lanczos3(*view, *lanczos, g.x[l], g.y[l], dest + l * C);
                ++recomputed;
            }
    }

    // A gray sum is one chain of 36 dependent additions: summing two groups
    // together keeps twice as many additions in flight.
    static constexpr bool finish_pairs = C == 1;
    void finish_pair(const Plan& a, const Plan& b, T* dest) {
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

// Blocks of groups in passes: all plans (which prefetch the source lines),
// then the gathers and the sums, each a pass of its own or one after the other
// group by group, as the kernel prefers.
template <class T, int C, Filter F, class Row, bool Filtered>
void resample_row(const SourceView<T, C>& src, const LanczosTable& table, const Row& row,
                  std::size_t width, T* out) {
    static_assert(!Filtered || has_filtered_path<T, C, F>, "no float32 path for this filter and sample type");
    const Source<T, C> source(src);
    using Kernel = std::conditional_t<F == Filter::Bilinear, Bilinear<T, C>, Lanczos3<T, C, Filtered>>;
    Kernel kernel{source};
    if constexpr (F == Filter::Lanczos3) {
        kernel.table = table.front().data();  // entries back to back
        kernel.view = &src;
        kernel.lanczos = &table;
    }
    constexpr int G = Kernel::groups_per_block;
    static_assert(Kernel::fetch_whole_block || !Kernel::finish_pairs,
                  "a pair is finished before its second group would be fetched");
    typename Kernel::Plan plans[G];
    Group groups[G];
    std::size_t x = 0;
    while (x + N <= width) {
        const int count = static_cast<int>(std::min<std::size_t>(G, (width - x) / N));
        for (int g = 0; g < count; ++g) groups[g] = kernel.plan(lanes_at(row, x + g * N), plans[g]);
        if constexpr (Kernel::fetch_whole_block)
            for (int g = 0; g < count; ++g)
                if (groups[g] == Group::Vector) kernel.fetch(plans[g]);
        for (int g = 0; g < count; ++g) {
            T* const dest = out + (x + g * N) * C;
            if (groups[g] == Group::Scalar) {
                const Lanes p = lanes_at(row, x + g * N);
                for (int l = 0; l < N; ++l)
                    if (p.active[l]) sample<F>(src, table, p.x[l], p.y[l], dest + l * C);
            } else if (groups[g] == Group::Vector) {
                if constexpr (!Kernel::fetch_whole_block) kernel.fetch(plans[g]);
                if constexpr (Kernel::finish_pairs) {
                    if (g + 1 < count && groups[g + 1] == Group::Vector) {
                        kernel.finish_pair(plans[g], plans[g + 1], dest);
                        ++g;
                        continue;
                    }
                }
                kernel.finish(plans[g], dest);
            }
        }
        x += count * N;
    }
    for (; x < width; ++x) {
        const Position p = position_at(row, x);
        if (p.active) sample<F>(src, table, p.x, p.y, out + x * C);
    }
    if constexpr (Filtered)
        if (kernel.recomputed) add_recomputed_samples(kernel.recomputed);
}

#define TRELVANE_ROW(T, C, F, Row, Filtered)                                                  \
    template void resample_row<T, C, F, Row, Filtered>(const SourceView<T, C>&, const LanczosTable&, \
                                                       const Row&, std::size_t, T*);
#define TRELVANE_ROWS(T, C, Row)                            \
    TRELVANE_ROW(T, C, Filter::Bilinear, Row, false)        \
    TRELVANE_ROW(T, C, Filter::Lanczos3, Row, false)
TRELVANE_ROWS(std::uint8_t, 1, MapRow)
TRELVANE_ROWS(std::uint16_t, 1, MapRow)
TRELVANE_ROWS(std::uint8_t, 3, MapRow)
TRELVANE_ROWS(std::uint16_t, 3, MapRow)
TRELVANE_ROWS(std::uint8_t, 3, HomographyRow)
TRELVANE_ROWS(std::uint16_t, 3, HomographyRow)
TRELVANE_ROW(std::uint8_t, 3, Filter::Lanczos3, MapRow, true)
TRELVANE_ROW(std::uint8_t, 3, Filter::Lanczos3, HomographyRow, true)
#undef TRELVANE_ROWS
#undef TRELVANE_ROW

}  // namespace trelvane::TRELVANE_LEVEL
