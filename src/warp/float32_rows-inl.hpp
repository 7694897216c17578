// The float32 kernels of the resampling calls, compiled once per instruction
// set level like the exact kernels (vector_kernels-inl.hpp). Lanczos-3 reuses
// the exact kernel's plans, positions, phases, weights and gathers and sums
// in float; bilinear remaps take their positions and weights in float where
// that is provably the reference's arithmetic (float32_rows.hpp shows where)
// and gather both taps of a row at once. Each checks every output byte
// against the margin of a proven bound (float32_rows.hpp derives them); an
// output pixel whose bytes the check cannot prove is sampled again by the
// scalar reference. This is the one exception to the exact kernels' rules:
// the float sums alone round differently, and the Lanczos-3 ones use fused
// multiply-adds, in float32_sums only (the machine-code scan tells the
// function by name).

#pragma once

#include <cstdint>
#include <cstring>

#include "warp/float32_rows.hpp"
#include "warp/vector_kernels-inl.hpp"

namespace trelvane::TRELVANE_LEVEL {
namespace {

// Samples the lanes of `redo` again with the scalar reference; returns how
// many it sampled. Rare: kept out of the kernels' line.
template <class T, int C, Filter F>
[[gnu::noinline]] int sample_lanes(const ScalarSampler<T, C, F>& exact, Vq redo, const Vd& x, const Vd& y, T* dest) {
    int count = 0;
    for (int l = 0; l < N; ++l)
        if (redo[l]) exact(x[l], y[l], dest + l * C), ++count;
    return count;
}
template <class T, int C, Filter F>
inline int sample_exactly(const ScalarSampler<T, C, F>& exact, Vq redo, const Vd& x, const Vd& y, T* dest) {
    return any(redo) ? sample_lanes(exact, redo, x, y, dest) : 0;
}

// Bilinear on 8-bit samples through float32 coordinate maps: 2N output pixels
// per step, one per 32-bit lane, positions, weights and sums all in float.
// A step whose positions all lie in [0.5, last_col) × [0.5, last_row) is
// computed here; any other is left to the exact kernel (see
// bilinear_float32 for why these positions give the reference's weights).
template <class T, int C>
struct Float32Bilinear {
    static_assert(sizeof(T) == 1 && (C == 1 || C == 3), "the float32 bilinear kernel is written for 8-bit samples");
    const Source<T, C>& source;
    const ScalarSampler<T, C, Filter::Bilinear>& exact;
    float last_col, last_row;  // whole numbers below 2^24: exact
    std::uint64_t recomputed = 0;  // output pixels of the fallback

    // Samples output pixels x … x + 2N − 1 of `row` into dest; false, with
    // nothing written or read, when a position is not one it can take.
    bool sample(const MapRow& row, std::size_t x, T* dest) {
        V2f px, py;
        std::memcpy(&px, row.map_x + x, sizeof px);
        std::memcpy(&py, row.map_y + x, sizeof py);
        // NaN fails every comparison: such a step goes to the exact kernel,
        // before any position is converted to an integer (out of range, the
        // conversion and the offsets would be undefined).
        if (!all((px >= 0.5f) & (px < last_col) & (py >= 0.5f) & (py < last_row))) return false;
        const V2f fx = floor_floats(px), fy = floor_floats(py);
        const V2f tx = px - fx, ty = py - fy, ux = 1 - tx, uy = 1 - ty;
        const V2f w[4] = {ux * uy, tx * uy, ux * ty, tx * ty};
        const std::int32_t row_bytes = source.width * source.pixel_bytes;
        // Gray: the word at the left tap holds both taps (bytes 0 and 1), and
        // is read only where the lower one ends inside the source. RGB: words
        // at the left tap (bytes 0 1 2 = its R G B, 3 = R of the right one)
        // and 2 bytes on (3 = B of the right one): both end at the right
        // tap's last byte.
        const V2i top = __builtin_convertvector(fy, V2i) * row_bytes + __builtin_convertvector(fx, V2i) * C;
        if constexpr (C == 1)
            if (!all(top + row_bytes <= source.last_word + 4)) return false;
        // The upper row is mostly in the cache, read by the output row above;
        // the lower one is new, and a gather waiting for memory stalls the
        // step. Loading the two source rows below now lets the next output
        // rows find theirs in the cache (the pool hands out rows one by one,
        // so a thread's next row is often two rows down). The exact kernel,
        // bound by its arithmetic, measured no faster with these loads.
        for (int r = 2; r < 4; ++r) {
            const std::int64_t below = std::int64_t{top[0]} + r * row_bytes;
            if (below <= source.last_word) prefetch_line(source.bytes, static_cast<std::int32_t>(below));
        }
        V2i word[2][C == 1 ? 1 : 2];
        for (int r = 0; r < 2; ++r) {
            word[r][0] = gather_dwords(source.bytes, top + r * row_bytes);
            if constexpr (C == 3) word[r][1] = gather_dwords(source.bytes, top + r * row_bytes + 2);
        }
        V2f sum[C];
        static_for<C>([&](auto c) {
            V2f p[2][2];  // [row][left, right]
            for (int r = 0; r < 2; ++r) {
                V2i left, right;
                if constexpr (C == 1)
                    left = byte_of<0>(word[r][0]), right = byte_of<1>(word[r][0]);
                else if constexpr (c == 0)
                    left = byte_of<0>(word[r][0]), right = byte_of<3>(word[r][0]);
                else if constexpr (c == 1)
                    left = byte_of<1>(word[r][0]), right = byte_of<2>(word[r][1]);
                else
                    left = byte_of<0>(word[r][1]), right = byte_of<3>(word[r][1]);
                p[r][0] = __builtin_convertvector(left, V2f);
                p[r][1] = __builtin_convertvector(right, V2f);
            }
            sum[c] = ((p[0][0] * w[0] + p[0][1] * w[1]) + p[1][0] * w[2]) + p[1][1] * w[3];
        });
        // Each sum rounded to the nearest whole number n; the byte is n where
        // every channel's sum is nearer to n than 1/2 − margin.
        V2f farthest{};
        V2i packed{};
        for (int c = 0; c < C; ++c) {
            const V2f n = nearest_floats(sum[c]), off = magnitude(sum[c] - n);
            farthest = c ? (off > farthest ? off : farthest) : off;
            packed |= __builtin_convertvector(n, V2i) << (8 * c);
        }
        store_packed<C>(packed, dest);
        if (const unsigned redo = lane_bits(~(farthest < 0.5f - bilinear_float32.margin))) sample_lanes(row, x, redo, dest);
        return true;
    }

    // The lanes of `redo` again with the scalar reference. Rare: kept out of
    // the kernel's line.
    [[gnu::noinline]] void sample_lanes(const MapRow& row, std::size_t x, unsigned redo, T* dest) {
        for (int l = 0; l < 2 * N; ++l)
            if (redo >> l & 1) {
                const Position p = position_at(row, x + l);
                exact(p.x, p.y, dest + l * C), ++recomputed;
            }
    }
};

// One group of N pixels through an exact kernel, or the scalar sampler
// where a gather could pass the source's end.
template <class Kernel, class T, int C, Filter F>
void sample_group(const Kernel& kernel, const ScalarSampler<T, C, F>& exact, const Lanes& p, T* dest) {
    typename Kernel::Plan g;
    switch (kernel.plan(p, g)) {
        case Group::Vector: kernel.fetch(g), kernel.finish(g, dest); break;
        case Group::Scalar: sample_scalar<T, C>(exact, p, dest); break;
        case Group::Empty: break;
    }
}

// A row of a bilinear remap of 8-bit samples: the float32 kernel where it
// takes the positions, the exact one elsewhere.
template <class T, int C>
void float32_bilinear_row(const Source<T, C>& source, const ScalarSampler<T, C, Filter::Bilinear>& exact,
                          const MapRow& row, std::size_t width, T* out) {
    const Bilinear<T, C> exact_kernel{source};
    Float32Bilinear<T, C> kernel{source, exact, float(source.last_col), float(source.last_row)};
    const auto exact_group = [&](std::size_t g) { sample_group(exact_kernel, exact, lanes_at(row, g), out + g * C); };
    std::size_t x = 0;
    for (; x + 2 * N <= width; x += 2 * N)
        if (!kernel.sample(row, x, out + x * C)) exact_group(x), exact_group(x + N);
    for (; x + N <= width; x += N) exact_group(x);
    sample_rest<T, C>(exact, row, x, width, out);
    if (kernel.recomputed) add_recomputed_samples(kernel.recomputed);
}

// The float32 sums of an interior Lanczos-3 group of 8-bit RGB pixels, one
// per channel, within lanczos3_float32.bound of the reference's. The 18 bytes
// of a tap row pair up, (0, 1), (2, 3) …, each pair one vector of 2N floats
// (byte_pair); pair k adds into partial sum k mod 3, so that the first and
// the second taps of a partial sum always hold one channel each. A row's
// partial sums are weighted by wy and added over the rows; last, the two
// parts of each channel are added. A term passes lanczos3_sum_roundings
// roundings: 3 along its row, 6 over the rows and 1 adding the two parts.
// Fused multiply-adds are allowed here only (the bound counts them): the
// function stays out of line so that the machine-code scan can tell it by
// name.
[[gnu::noinline]] void float32_sums(const Vu (&word)[lanczos3.taps][lanczos3.taps],
                                    const Vd (&wx)[lanczos3.taps], const Vd (&wy)[lanczos3.taps],
                                    Vf (&sum)[3]) {
    constexpr int C = 3, pairs = lanczos3.taps * C / 2;
    static_assert(pairs % 3 == 0, "each part of a partial sum keeps one channel");
    static_assert(lanczos3_sum_roundings == pairs / 3 + lanczos3.taps + 1, "the roundings of a term");
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

// Lanczos-3 on 8-bit RGB: interior groups are summed in float32; the others
// keep the exact sums.
template <class T, int C>
struct Float32Lanczos3 : Lanczos3<T, C> {
    static_assert(sizeof(T) == 1 && C == 3, "the float32 sums are written for 8-bit RGB");
    using Exact = Lanczos3<T, C>;
    struct Plan : Exact::Plan {
        Vd x, y;  // the positions, for the scalar fallback
    };
    ScalarSampler<T, C, Filter::Lanczos3> exact;
    std::uint64_t recomputed = 0;  // output pixels of the fallback

    Group plan(const Lanes& p, Plan& g) const {
        g.x = p.x, g.y = p.y;
        return Exact::plan(p, g);
    }

    // With t = sum + 1/2 and m the margin, the byte is floor(t) clamped to
    // [0, 255] when t < 1 − m (0), t > 255 + m (255) or the fraction of t is
    // farther than m from 0 and 1 (see lanczos3_float32).
    void finish(const Plan& g, T* dest) {
        if (!g.interior) return Exact::finish(g, dest);
        Vf sum[C];
        float32_sums(g.word, g.wx, g.wy, sum);
        constexpr float m = lanczos3_float32.margin;
        Vi sure = narrow(g.in), sample[C];
        for (int c = 0; c < C; ++c) {
            const Vf t = sum[c] + 0.5f, whole = floor_floats(t), fraction = t - whole;
            sure &= (t < 1 - m) | (t > 255 + m) | ((fraction > m) & (fraction < 1 - m));
            sample[c] = min(max(__builtin_convertvector(whole, Vi), Vi{}), Vi{} + 255);
        }
        store_samples<T, C>(sample, g.in, dest);
        recomputed += sample_exactly(exact, g.in & ~widen(sure), g.x, g.y, dest);
    }
};

}  // namespace
}  // namespace trelvane::TRELVANE_LEVEL
