// Every vector level against the scalar reference, byte for byte, and the
// vector gathers against a source that ends right before an unreadable page.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "guarded_pages.hpp"
#include "resample_support.hpp"
#include "warp/remap.hpp"
#include "warp/warp.hpp"

namespace trelvane {
namespace {

TEST(IsaLevel, RequestsLowerButNeverRaiseTheLevel) {
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx512, "baseline"), IsaLevel::Baseline);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx512, "avx2"), IsaLevel::Avx2);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx2, "avx512"), IsaLevel::Avx2);
    EXPECT_EQ(choose_isa_level(IsaLevel::Avx2, "AVX2 "), IsaLevel::Avx2);  // unknown: ignored
    EXPECT_EQ(choose_isa_level(IsaLevel::Baseline, nullptr), IsaLevel::Baseline);
}

// Positions that probe every rule the vector code must reproduce: the domain
// edges and the floats just beyond, NaN, infinities, huge values, Lanczos phase
// ties and their neighbours, negative zero and the bottom-right pixel.
std::vector<float> special_positions(std::size_t side) {
    const float edge = static_cast<float>(side) - 0.5f, inf = std::numeric_limits<float>::infinity();
    std::vector<float> v = {-0.5f, edge, std::nextafter(-0.5f, -inf), std::nextafter(edge, inf),
                            std::nanf(""), inf, -inf, 1e30f, -1e30f, -0.0f, float(side) - 1, 0.25f};
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

std::vector<IsaLevel> vector_levels() {
    std::vector<IsaLevel> levels;
    for (IsaLevel l : {IsaLevel::Avx2, IsaLevel::Avx512})
        if (l <= cpu_isa_level()) levels.push_back(l);
    return levels;
}

// Without a vector level there is nothing to compare: say so instead of passing.
class VectorRows : public ::testing::Test {
protected:
    void SetUp() override {
        if (vector_levels().empty()) GTEST_SKIP() << "this CPU runs no vector level, only the scalar reference";
    }
};

using Size = std::tuple<std::size_t, std::size_t, std::size_t, std::size_t>;  // w, h, ow, oh
const Size sizes[] = {{1, 1, 9, 3}, {2, 3, 17, 5}, {7, 5, 8, 8}, {64, 48, 61, 37}, {130, 70, 123, 66}};

template <class T, int C>
void expect_remap_levels_match(Filter filter) {
    WorkerPool pool(1);
    for (const auto& [w, h, ow, oh] : sizes) {
        const auto src = noise<T>(w * h * C, static_cast<unsigned>(w * h));
        const auto [mx, my] = probing_maps(w, h, ow, oh);
        const auto reference = values(remap_image<T, C>(src, w, h, mx, my, ow, oh, filter, IsaLevel::Baseline, pool));
        for (IsaLevel level : vector_levels())
            ASSERT_EQ(values(remap_image<T, C>(src, w, h, mx, my, ow, oh, filter, level, pool)), reference)
                << "level " << int(level) << ", source " << w << "x" << h << ", C " << C;
    }
}

TEST_F(VectorRows, RemapMatchesTheScalarReference) {
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_remap_levels_match<std::uint8_t, 1>(f);
        expect_remap_levels_match<std::uint16_t, 1>(f);
        expect_remap_levels_match<std::uint8_t, 3>(f);
        expect_remap_levels_match<std::uint16_t, 3>(f);
    }
}

// Perspective views, including one whose denominator is 0 at some columns
// (H6·u + H8 = 0 at u = 3 and, with scale 2, at every other row too) and
// NaN entries.
template <class T>
void expect_warp_levels_match(Filter filter) {
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
                const auto warp = [&](IsaLevel level) {
                    return values(warp_image<T>(src, w, h, ow, oh, H, scale, -0.75, 0.5, filter, level, pool));
                };
                const auto reference = warp(IsaLevel::Baseline);
                for (IsaLevel level : vector_levels()) ASSERT_EQ(warp(level), reference);
            }
}

TEST_F(VectorRows, WarpMatchesTheScalarReference) {
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_warp_levels_match<std::uint8_t>(f);
        expect_warp_levels_match<std::uint16_t>(f);
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
void expect_no_read_past_the_end(Filter filter) {
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
            const auto remap = [&](IsaLevel level) {
                return values(remap_image<T, C>(src.samples, w, h, mx, my, ow, oh, filter, level, pool));
            };
            const auto reference = remap(IsaLevel::Baseline);
            for (IsaLevel level : vector_levels()) ASSERT_EQ(remap(level), reference);
        }
}

TEST_F(VectorRows, NeverReadPastTheSource) {
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_no_read_past_the_end<std::uint8_t, 1>(f);
        expect_no_read_past_the_end<std::uint16_t, 1>(f);
        expect_no_read_past_the_end<std::uint8_t, 3>(f);
        expect_no_read_past_the_end<std::uint16_t, 3>(f);
    }
}

}  // namespace
}  // namespace trelvane
