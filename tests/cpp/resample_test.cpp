#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "resample_support.hpp"
#include "warp/remap.hpp"
#include "warp/warp.hpp"

namespace trelvane {
namespace {

struct Maps {
    std::vector<float> x, y;
};

// A smooth distortion that leaves the source on some sides, with NaNs.
Maps wavy_maps(std::size_t w, std::size_t h) {
    Maps m;
    for (std::size_t r = 0; r < h; ++r)
        for (std::size_t c = 0; c < w; ++c) {
            m.x.push_back(static_cast<float>(c * 1.1 - 3 + 2.5 * std::sin(r * 0.3)));
            m.y.push_back(static_cast<float>(r * 0.9 + 1.7 * std::cos(c * 0.2) - 1));
        }
    m.x[5] = std::nanf("");
    m.y[17] = std::nanf("");
    return m;
}

TEST(RemapImage, LengthChecksInOrder) {
    const std::vector<std::uint8_t> src(4 * 3 * 3);
    const std::vector<float> six(6), five(5);
    using R = Checked<Buffer<std::uint8_t>>;
    const auto mismatch = [](const R& r) { return std::get<SizeMismatch>(r); };
    EXPECT_EQ(mismatch(remap_image<std::uint8_t, 3>(std::span(src).first(35), 4, 3, five, five, 3, 2, Filter::Bilinear)),
              (SizeMismatch{36, 35}));
    EXPECT_EQ(mismatch(remap_image<std::uint8_t, 3>(src, 4, 3, five, six, 3, 2, Filter::Bilinear)),
              (SizeMismatch{6, 5}));
    EXPECT_EQ(mismatch(remap_image<std::uint8_t, 3>(src, 4, 3, six, five, 3, 2, Filter::Lanczos3)),
              (SizeMismatch{6, 5}));
}

TEST(RemapImage, ZeroColumnsFailZeroRowsAreEmpty) {
    const std::vector<std::uint16_t> src(9);
    const std::vector<float> none;
    try {
        remap_image<std::uint16_t, 1>(src, 3, 3, none, none, 0, 4, Filter::Bilinear);
        FAIL();
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "chunk_size must not be zero");
    }
    EXPECT_TRUE(values(remap_image<std::uint16_t, 1>(src, 3, 3, none, none, 5, 0, Filter::Lanczos3)).empty());
}

template <class T, int C>
void expect_same_for_any_worker_count(Filter filter) {
    const std::size_t w = 37, h = 23, ow = 41, oh = 29;
    const auto src = noise<T>(w * h * C, 3);
    const Maps m = wavy_maps(ow, oh);
    WorkerPool alone(0), many(5);
    const auto one = values(remap_image<T, C>(src, w, h, m.x, m.y, ow, oh, filter, active_isa_level(), alone));
    const auto all = values(remap_image<T, C>(src, w, h, m.x, m.y, ow, oh, filter, active_isa_level(), many));
    EXPECT_EQ(one, all);
    EXPECT_EQ(one.size(), ow * oh * C);
}

TEST(RemapImage, SameResultForAnyWorkerCount) {
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        expect_same_for_any_worker_count<std::uint8_t, 1>(f);
        expect_same_for_any_worker_count<std::uint16_t, 1>(f);
        expect_same_for_any_worker_count<std::uint8_t, 3>(f);
        expect_same_for_any_worker_count<std::uint16_t, 3>(f);
    }
}

TEST(RemapImage, IdentityReproducesTheSource) {
    const std::size_t w = 19, h = 11;
    const auto src = noise<std::uint16_t>(w * h * 3, 9);
    std::vector<float> xs, ys;
    for (std::size_t r = 0; r < h; ++r)
        for (std::size_t c = 0; c < w; ++c) xs.push_back(c), ys.push_back(r);
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3})
        EXPECT_EQ(values(remap_image<std::uint16_t, 3>(src, w, h, xs, ys, w, h, f)), src);
}

const Homography identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};

TEST(WarpImage, LengthCheck) {
    const std::vector<std::uint8_t> src(10);
    EXPECT_EQ(std::get<SizeMismatch>(warp_image<std::uint8_t>(src, 2, 2, 2, 2, identity, 1, 0, 0, Filter::Bilinear)),
              (SizeMismatch{12, 10}));
}

TEST(WarpImage, IdentityReproducesAndOffsetsShift) {
    const std::size_t w = 23, h = 17;
    const auto src = noise<std::uint8_t>(w * h * 3, 5);
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        EXPECT_EQ(values(warp_image<std::uint8_t>(src, w, h, w, h, identity, 1, 0, 0, f)), src);
        const auto shifted = values(warp_image<std::uint8_t>(src, w, h, w, h, identity, 1, 10, 0, f));
        for (std::size_t r = 0; r < h; ++r)
            for (std::size_t c = 0; c < w; ++c)
                for (int k = 0; k < 3; ++k)
                    ASSERT_EQ(shifted[(r * w + c) * 3 + k], c + 10 < w ? src[(r * w + c + 10) * 3 + k] : 0);
    }
}

TEST(WarpImage, PointsAtInfinityAndNegativeW) {
    const std::size_t w = 6, h = 5;
    const auto src = noise<std::uint16_t>(w * h * 3, 2);
    const Homography flat = {1, 0, 0, 0, 1, 0, 0, 0, 0};
    for (auto v : values(warp_image<std::uint16_t>(src, w, h, w, h, flat, 1, 0, 0, Filter::Lanczos3)))
        ASSERT_EQ(v, 0);
    const Homography mirror = {1, 0, 0, 0, 1, 0, 0, 0, -1};  // samples (-c, -r)
    const auto out = values(warp_image<std::uint16_t>(src, w, h, w, h, mirror, 1, 0, 0, Filter::Bilinear));
    EXPECT_EQ(std::vector<std::uint16_t>(out.begin(), out.begin() + 3),
              std::vector<std::uint16_t>(src.begin(), src.begin() + 3));
    for (std::size_t i = 3; i < out.size(); ++i) ASSERT_EQ(out[i], 0);
}

TEST(WarpImage, ZeroOutputWidthFailsWhateverTheHeight) {
    const std::vector<std::uint8_t> src(12);
    for (std::uint64_t oh : {0u, 3u})
        EXPECT_THROW(warp_image<std::uint8_t>(src, 2, 2, 0, oh, identity, 1, 0, 0, Filter::Bilinear),
                     InternalFailure);
}

TEST(WarpImage, UnrepresentableOutputIsAnAllocationFailure) {
    const std::vector<std::uint8_t> src(12);
    EXPECT_THROW(warp_image<std::uint8_t>(src, 2, 2, UINT64_MAX / 2, 7, identity, 1, 0, 0, Filter::Bilinear),
                 std::bad_alloc);
}

TEST(WarpImage, SameResultForAnyWorkerCount) {
    const std::size_t w = 40, h = 30;
    const auto src = noise<std::uint8_t>(w * h * 3, 8);
    const Homography H = {0.9, 0.1, 2, -0.05, 1.1, -3, 0.001, -0.002, 1};
    WorkerPool alone(0), many(4);
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3})
        EXPECT_EQ(values(warp_image<std::uint8_t>(src, w, h, 45, 33, H, 1.2, -1.5, 0.5, f, active_isa_level(), alone)),
                  values(warp_image<std::uint8_t>(src, w, h, 45, 33, H, 1.2, -1.5, 0.5, f, active_isa_level(), many)));
}

}  // namespace
}  // namespace trelvane
