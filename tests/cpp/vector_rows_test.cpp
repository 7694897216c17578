// Every vector level, with and without its float32 paths, against the scalar
// reference, byte for byte; the vector reads against a source that ends right
// before an unreadable page; and the float32 paths' fallback on sums that sit
// on rounding boundaries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "guarded_pages.hpp"
#include "param_names.hpp"
#include "resample_support.hpp"
#include "warp/float32_rows.hpp"
#include "warp/remap.hpp"
#include "warp/sampling.hpp"
#include "warp/vector_rows.hpp"
#include "warp/warp.hpp"

namespace trelvane {
namespace {

TEST(IsaLevel, RequestsLowerButNeverRaiseTheLevel) {
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx512, "baseline"), IsaLevel::Baseline);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx512, "avx2"), IsaLevel::Avx2);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx512, "avx2-exact"), IsaLevel::Avx2Exact);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx512, "avx512-exact"), IsaLevel::Avx512Exact);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx2, "avx512"), IsaLevel::Avx2);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx2, "avx512-exact"), IsaLevel::Avx2Exact);  // stays exact
    EXPECT_EQ(choose_isa_level(IsaLevel::Baseline, "avx512-exact"), IsaLevel::Baseline);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx2, "AVX2 "), IsaLevel::Avx2);  // unknown: ignored
    EXPECT_EQ(choose_isa_level(IsaLevel::Baseline, nullptr), IsaLevel::Baseline);
}

// The Lanczos-3 float32 bound is computed from the largest Σ|w| of a table
// entry, a constant: the table the calls build must not exceed it, and the
// constant must not be needlessly loose (it decides how many samples are
// recomputed). The derivation also needs float weights that round
// relatively and sums below 512.
TEST(Float32Bound, TheLanczosTableStaysWithinTheBoundsInputs) {
    const LanczosTable table = build_lanczos_table();
    double largest = 0, smallest = 1;  // Σ|w| over an entry; the smallest nonzero |w|
    for (const LanczosWeights& w : table) {
        double magnitude = 0;
        for (double v : w) {
            magnitude += std::fabs(v);
            if (v != 0) smallest = std::min(smallest, std::fabs(v));
        }
        largest = std::max(largest, magnitude);
    }
    EXPECT_LE(largest, lanczos3_weight_sum);
    EXPECT_GT(largest, lanczos3_weight_sum - 1e-8);
    EXPECT_GE(smallest, std::numeric_limits<float>::min());
    EXPECT_LT(255 * (1 + largest * largest) / 2, 512);
}

// Positions that probe every rule the vector code must reproduce: the domain
// edges and the floats just beyond, NaN, infinities, huge values, Lanczos phase
// ties and their neighbours, negative zero, the bottom-right pixel, and the
// edges of the float32 bilinear kernel's range [0.5, last pixel) with a
// fraction of 24 bits just inside it.
std::vector<float> special_positions(std::size_t side) {
    const float edge = static_cast<float>(side) - 0.5f, inf = std::numeric_limits<float>::infinity();
    std::vector<float> v = {-0.5f, edge, std::nextafter(-0.5f, -inf), std::nextafter(edge, inf),
                            std::nanf(""), inf, -inf, 1e30f, -1e30f, -0.0f, float(side) - 1, 0.25f,
                            0.5f, std::nextafter(0.5f, 0.f), std::nextafter(1.f, 0.f),
                            std::nextafter(float(side) - 1, 0.f)};
    for (int k : {1, 511, 512, 1023}) {
        const float tie = 1 + (k + 0.5f) / 1024;
        v.insert(v.end(), {tie, std::nextafter(tie, 0.f), std::nextafter(tie, 2.f)});
    }
    return v;
}

// Smooth maps that rotate and stretch across the source and past its edges,
// with about 1 % special entries.
std::pair<std::vector<float>, std::vector<float>> probing_maps(std::size_t w, std::size_t h,
                                                              std::size_t ow, std::size_t oh) {
    std::mt19937 rng(7);
    const auto sx = special_positions(w), sy = special_positions(h);
    std::vector<float> mx(ow * oh), my(ow * oh);
    for (std::size_t r = 0; r < oh; ++r)
        for (std::size_t c = 0; c < ow; ++c) {
            const double u = (c + 0.37) / ow * 1.2 - 0.1, v = (r + 0.21) / oh * 1.2 - 0.1;
            mx[r * ow + c] = static_cast<float>((u + 0.1 * v) * w + std::sin(r * 0.7));
            my[r * ow + c] = static_cast<float>((v - 0.1 * u) * h + std::cos(c * 0.3));
            if (rng() % 100 == 0) mx[r * ow + c] = sx[rng() % sx.size()];
            if (rng() % 100 == 0) my[r * ow + c] = sy[rng() % sy.size()];
        }
    return {mx, my};
}

// Each test runs once per vector level, named: a level this CPU lacks is
// skipped, saying so, rather than passed.
class VectorRows : public ::testing::TestWithParam<const char*> {
protected:
    IsaLevel level = IsaLevel::Baseline;
    void SetUp() override {
        level = *parse_isa_level(GetParam());
        if (instruction_set(level) > cpu_isa_level()) GTEST_SKIP() << "this CPU does not run " << GetParam();
    }
};

using Size = std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>;  // w, h, ow, oh
const Size sizes[] = {{1, 1, 9, 3}, {2, 3, 17, 5}, {7, 5, 8, 8}, {64, 48, 61, 37}, {130, 70, 123, 66}};

template <class T, int C>
void expect_remap_matches(IsaLevel level, Filter filter) {
    WorkerPool pool(1);
    for (const auto& [w, h, ow, oh] : sizes) {
        const auto src = noise<T>(w * h * C, static_cast<unsigned>(w * h));
        const auto [mx, my] = probing_maps(w, h, ow, oh);
        ASSERT_EQ(values(remap_image<T, C>(src, w, h, mx, my, ow, oh, filter, level, pool)),
                  values(remap_image<T, C>(src, w, h, mx, my, ow, oh, filter, IsaLevel::Baseline, pool)))
            << "filter " << int(filter) << ", " << sizeof(T) * 8 << "-bit, C " << C << ", source " << w << "x" << h;
    }
}

TEST_P(VectorRows, RemapMatchesTheScalarReference) {
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_remap_matches<std::uint8_t, 1>(level, f);
        expect_remap_matches<std::uint16_t, 1>(level, f);
        expect_remap_matches<std::uint8_t, 3>(level, f);
        expect_remap_matches<std::uint16_t, 3>(level, f);
    }
}

// Perspective views, including one whose denominator is 0 at some columns
// (H6·u + H8 = 0 at u = 3 and, with scale 2, at every other row too) and
// NaN entries.
template <class T>
void expect_warp_matches(IsaLevel level, Filter filter) {
    const double nan = std::nan("");
    const Homography views[] = {{0.9, 0.1, 2, -0.05, 1.1, -3, 0.001, -0.002, 1},
                                {1, 0, 0, 0, 1, 0, 1, 0, -3},
                                {1, 0.5, -4, 0.25, 1, 2, -0.125, 0.25, 0},
                                {1, 0, 0, 0, nan, 0, 0, 0, 1}};
    WorkerPool pool(1);
    for (const auto& [w, h, ow, oh] : sizes)
        for (const Homography& H : views)
            for (double scale : {1.0, 2.0, 0.7}) {
                const auto src = noise<T>(w * h * 3, static_cast<unsigned>(w + h));
                const auto warp = [&](IsaLevel l) {
                    return values(warp_image<T>(src, w, h, ow, oh, H, scale, -0.75, 0.5, filter, l, pool));
                };
                ASSERT_EQ(warp(level), warp(IsaLevel::Baseline))
                    << "filter " << int(filter) << ", " << sizeof(T) * 8 << "-bit, source " << w << "x" << h;
            }
}

TEST_P(VectorRows, WarpMatchesTheScalarReference) {
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_warp_matches<std::uint8_t>(level, f);
        expect_warp_matches<std::uint16_t>(level, f);
    }
}

// A source whose last byte is the last readable byte before a guard page:
// a gather that reads past the image faults instead of passing silently.
template <class T>
struct GuardedSource {
    GuardedPages pages;
    std::span<const T> samples;

    explicit GuardedSource(std::size_t count) : pages(count * sizeof(T)) {
        T* first = reinterpret_cast<T*>(pages.end()) - count;
        const auto content = noise<T>(count, 11);
        std::memcpy(first, content.data(), count * sizeof(T));
        samples = {first, count};
    }
};

template <class T, int C>
void expect_no_read_past_the_end(IsaLevel level, Filter filter) {
    // Every output pixel samples the last rows, most of them near the last
    // pixel, where an 8-byte word or a Lanczos tap row would run off the end;
    // 3.5 pixels from the right edge, a Lanczos group still counts as interior
    // and reads whole words past its last tap.
    for (std::size_t w : {1u, 3u, 9u, 40u})
        for (float edge : {0.5f, 3.5f}) {
            const std::size_t h = 7, ow = 64, oh = 8;
            GuardedSource<T> src(w * h * C);
            std::vector<float> mx(ow * oh), my(ow * oh);
            for (std::size_t i = 0; i < mx.size(); ++i) {
                mx[i] = static_cast<float>(w) - edge - static_cast<float>(i % ow) * 0.03f;
                my[i] = static_cast<float>(h) - 0.5f - static_cast<float>(i / ow) * 0.4f;
            }
            WorkerPool pool(0);
            const auto remap = [&](IsaLevel l) {
                return values(remap_image<T, C>(src.samples, w, h, mx, my, ow, oh, filter, l, pool));
            };
            ASSERT_EQ(remap(level), remap(IsaLevel::Baseline)) << "width " << w << ", edge " << edge;
        }
}

TEST_P(VectorRows, NeverReadPastTheSource) {
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_no_read_past_the_end<std::uint8_t, 1>(level, f);
        expect_no_read_past_the_end<std::uint16_t, 1>(level, f);
        expect_no_read_past_the_end<std::uint8_t, 3>(level, f);
        expect_no_read_past_the_end<std::uint16_t, 3>(level, f);
    }
}

// Lanczos-3: sources of two values split by vertical edges, sampled where
// the float32 sums cannot decide the byte: halfway between the edge columns, where the
// symmetric weights make the sum (a + b) / 2 with a + b odd, exactly on a
// rounding boundary, at whole and tied (k + 1/2) / 1024 vertical phases. A
// smooth scene sampled at rotated positions checks the common case. The
// exact scalar fallback must run and give the reference's bytes.
template <int C>
std::vector<std::uint8_t> edge_source(std::size_t w, std::size_t h) {
    std::vector<std::uint8_t> src(w * h * C);
    for (std::size_t i = 0; i < w * h; ++i)
        for (int c = 0; c < C; ++c)
            src[i * C + c] = static_cast<std::uint8_t>(i % w / 4 % 2 ? 37 + 50 * c : 100 + 60 * c);
    return src;
}

template <int C>
std::vector<std::uint8_t> smooth_source(std::size_t w, std::size_t h) {
    std::vector<std::uint8_t> src(w * h * C);
    for (std::size_t i = 0; i < w * h; ++i)
        for (int c = 0; c < C; ++c)
            src[i * C + c] = static_cast<std::uint8_t>(127.5 + 127 * std::sin(0.05 * (i % w) * (c + 1) + 0.07 * (i / w)));
    return src;
}

struct Maps {
    std::vector<float> x, y;
};

Maps boundary_maps(std::size_t ow, std::size_t oh) {
    Maps m{std::vector<float>(ow * oh), std::vector<float>(ow * oh)};
    for (std::size_t r = 0; r < oh; ++r)
        for (std::size_t c = 0; c < ow; ++c) {
            m.x[r * ow + c] = 3.5f + 4 * static_cast<float>(c % 24) + (c / 24 % 2 ? 0.5f : 0.0f) * (r % 3 == 2);
            m.y[r * ow + c] = 4 + static_cast<float>(r % 20) + (r % 2 ? (static_cast<float>(r % 9) * 100 + 0.5f) / 1024 : 0);
        }
    return m;
}

Maps rotated_maps(std::size_t ow, std::size_t oh, std::size_t w, std::size_t h) {
    Maps m{std::vector<float>(ow * oh), std::vector<float>(ow * oh)};
    for (std::size_t r = 0; r < oh; ++r)
        for (std::size_t c = 0; c < ow; ++c) {
            m.x[r * ow + c] = static_cast<float>(c * 0.95 + r * 0.3) * static_cast<float>(w) / ow - 2;
            m.y[r * ow + c] = static_cast<float>(r * 0.95 - c * 0.3) * static_cast<float>(h) / oh + 20;
        }
    return m;
}

// Bilinear: rows that alternate between a and t − a (t odd, one per
// channel), sampled halfway between two rows at horizontal fractions of many
// bits: whatever the fraction, the sum is t / 2, a tie, which the float32
// products miss by a little, on either side.
template <int C>
std::vector<std::uint8_t> alternating_rows(std::size_t w, std::size_t h) {
    std::vector<std::uint8_t> src(w * h * C);
    for (std::size_t i = 0; i < w * h; ++i)
        for (int c = 0; c < C; ++c) {
            const int t = 255 - 52 * c, a = static_cast<int>((i % w * 37 + i / w / 2 * 11 + 29 * c) % 150);
            src[i * C + c] = static_cast<std::uint8_t>(i / w % 2 ? t - a : a);
        }
    return src;
}

Maps halfway_maps(std::size_t ow, std::size_t oh, std::size_t w, std::size_t h) {
    Maps m{std::vector<float>(ow * oh), std::vector<float>(ow * oh)};
    for (std::size_t r = 0; r < oh; ++r)
        for (std::size_t c = 0; c < ow; ++c) {
            m.x[r * ow + c] = static_cast<float>(1 + std::fmod((r * ow + c) * 0.7548776662, w - 3.0));
            m.y[r * ow + c] = static_cast<float>(r % (h - 1)) + 0.5f;
        }
    return m;
}

template <int C>
void expect_fallback_runs(IsaLevel level, Filter filter) {
    const std::size_t w = 120, h = 40, ow = 96, oh = 60;
    WorkerPool pool(1);
    const auto remap = [&](const std::vector<std::uint8_t>& src, const Maps& m, IsaLevel l) {
        return values(remap_image<std::uint8_t, C>(src, w, h, m.x, m.y, ow, oh, filter, l, pool));
    };
    const bool lanczos = filter == Filter::Lanczos3;
    const auto ties = lanczos ? edge_source<C>(w, h) : alternating_rows<C>(w, h);
    const Maps on_ties = lanczos ? boundary_maps(ow, oh) : halfway_maps(ow, oh, w, h);
    const auto smooth = smooth_source<C>(w, h);
    const std::uint64_t before = recomputed_samples();
    EXPECT_EQ(remap(ties, on_ties, level), remap(ties, on_ties, IsaLevel::Baseline));
    const std::uint64_t on_boundaries = recomputed_samples() - before;
    EXPECT_EQ(remap(smooth, rotated_maps(ow, oh, w, h), level), remap(smooth, rotated_maps(ow, oh, w, h), IsaLevel::Baseline));
    if (runs_float32(level) && has_float32_path(filter, 1, C, true))
        EXPECT_GT(on_boundaries, ow * oh / 10) << "the boundary samples must reach the exact fallback";
    else
        EXPECT_EQ(recomputed_samples(), before) << "no float32 path, no fallback";
}

TEST_P(VectorRows, FloatSumsOnRoundingBoundariesFallBackToTheExactSampler) {
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_fallback_runs<1>(level, f);
        expect_fallback_runs<3>(level, f);
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, VectorRows, ::testing::Values("avx2-exact", "avx2", "avx512-exact", "avx512"),
                         [](const auto& info) { return param_name(info.param); });

}  // namespace
}  // namespace trelvane
