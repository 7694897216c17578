// The float32 kernels of the resampling calls, compiled once per instruction
// set level like the exact kernels they extend (vector_kernels-inl.hpp): the
// same plans, positions, phases, weights and gathers, then the sums in float
// and a byte check per output sample against the margin of a proven bound
// (float32_rows.hpp derives it). An output pixel whose bytes the check cannot
// prove is sampled again by the scalar reference. This is the one exception
// to the exact kernels' rules: the float sums alone round differently, and the
// Lanczos-3 ones use fused multiply-adds, in float32_sums only (the
// machine-code scan tells the function by name).

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

// The float32 sums of a bilinear group of 8-bit pixels before their last
// addition, within bilinear_float32.bound of the reference's once
// add_taps_of_two has added the two taps. The word of a row holds its left
// and right taps side by side; byte_pair puts channel c of both in one
// vector, weighed by w00 and w01 (upper row) or w10 and w11 (lower row), and
// the rows are added: rows[c] holds, in block order, w00·p00 + w10·p10 and
// w01·p01 + w11·p11 of each pixel. A term passes bilinear_sum_roundings
// roundings: its product, the rows' addition and the taps' addition, none
// fused.
template <int C>
inline void float32_sums(const Vu (&word)[2], const Vd (&w)[4], V2f (&rows)[C]) {
    static_assert(bilinear_sum_roundings == 3, "a product and two additions");
    const auto to_float = [](Vd v) { return __builtin_convertvector(v, Vf); };
    const V2f upper = interleave_pairs(to_float(w[0]), to_float(w[1]));
    const V2f lower = interleave_pairs(to_float(w[2]), to_float(w[3]));
    static_for<C>([&](auto c) {
        rows[c] = byte_pair<c, C + c>(word[0]) * upper + byte_pair<c, C + c>(word[1]) * lower;
    });
}

// Bilinear on 8-bit samples: the exact kernel's plans and gathers; two groups
// are summed in float32 together, so that the sums of 2N pixels fill the
// vectors of the check, and stored as the nearest whole number of each sum
// wherever it is farther than the margin from a tie (see bilinear_float32).
// A group without a partner keeps the exact sums.
template <class T, int C>
struct Float32Bilinear : Bilinear<T, C> {
    using Exact = Bilinear<T, C>;
    struct Plan : Exact::Plan {
        Vd x, y;  // the positions, for the scalar fallback
    };
    ScalarSampler<T, C, Filter::Bilinear> exact;
    std::uint64_t recomputed = 0;  // output pixels of the fallback

    Group plan(const Lanes& p, Plan& g) const {
        g.x = p.x, g.y = p.y;
        return Exact::plan(p, g);
    }

    static constexpr bool finish_pairs = true;
    [[gnu::always_inline]] void finish_pair(const Plan& a, const Plan& b, T* dest) {
        // A clamped lane's word holds some other pixel as its right tap.
        if (any((a.clamped & a.live) | (b.clamped & b.live))) {
            Exact::finish(a, dest);
            Exact::finish(b, dest + N * C);
            return;
        }
        const Plan* const group[2] = {&a, &b};
        V2f rows[2][C];
        static_for<2>([&](auto k) {
            Vd w[4];
            Exact::weights(*group[k], w);
            float32_sums<C>(group[k]->word, w, rows[k]);
        });
        constexpr float limit = 0.5f - bilinear_float32.margin;
        const V2i live = pair_of(narrow(a.live), narrow(b.live));
        V2i sure = live, packed{};
        static_for<C>([&](auto c) {
            const V2f sum = add_taps_of_two(rows[0][c], rows[1][c]), nearest = nearest_floats(sum);
            sure &= magnitude(sum - nearest) < limit;
            packed |= __builtin_convertvector(nearest, V2i) << (8 * c);
        });
        store_packed_pair<C>(groups_in_order(packed & live), dest);
        const V2i redo = live & ~sure;
        if (!any(redo)) return;
        const V2i lanes = groups_in_order(redo);
        for (int k = 0; k < 2; ++k) {
            Vi of_group;
            std::memcpy(&of_group, reinterpret_cast<const char*>(&lanes) + k * sizeof of_group, sizeof of_group);
            recomputed += sample_exactly(exact, widen(of_group), group[k]->x, group[k]->y, dest + k * N * C);
        }
    }
};

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
