#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "detector/detect_segments.hpp"
#include "detector/gaussian_downsample.hpp"
#include "param_names.hpp"

namespace trelvane {
namespace {

TEST(GaussianKernel, ReferenceSizesAndNormalisation) {
    for (auto [scale, taps] : {std::pair{0.8, 7u}, {0.5, 11u}, {0.25, 19u}, {0.1, 47u}}) {
        const auto k = gaussian_kernel(scale);
        EXPECT_EQ(k.size(), taps) << scale;
        double sum = 0;
        for (double g : k) sum += g;
        EXPECT_NEAR(sum, 1.0, 1e-15);
        EXPECT_EQ(k.front(), k.back());
        EXPECT_EQ(*std::max_element(k.begin(), k.end()), k[k.size() / 2]);
    }
    EXPECT_EQ(gaussian_kernel(-0.5), std::vector<double>{1.0});  // negative scale: a copy
}

TEST(DownsampleGrid, ColumnMapsAndSizes) {
    std::vector<std::uint64_t> cols;
    for (std::uint64_t i = 0; i < 12; ++i) cols.push_back(downsample_source(i, 0.8, 100));
    EXPECT_EQ(cols, (std::vector<std::uint64_t>{0, 1, 2, 3, 5, 6, 7, 8, 10, 11, 12, 13}));
    for (std::uint64_t i = 0; i < 6; ++i) EXPECT_EQ(downsample_source(i, 0.5, 100), 2 * i);
    EXPECT_EQ(downsample_source(9, 0.5, 12), 11u);  // kept inside the image
    const auto size = downsampled_size(101, 80, 0.8);
    EXPECT_EQ(size.width, 80u);
    EXPECT_EQ(size.height, 64u);
    EXPECT_EQ(downsampled_size(3, 50, 0.8).width, 2u);
    EXPECT_EQ(downsampled_size(50, 50, -1.0).height, 2u);
}

// The blur written out per output sample, with clamped source indices.
std::vector<double> reference_blur(const std::vector<double>& img, std::size_t w, std::size_t h, double scale) {
    const auto k = gaussian_kernel(scale);
    const auto n = static_cast<std::int64_t>(k.size() / 2);
    const auto clamp = [](std::int64_t v, std::size_t side) {
        return static_cast<std::size_t>(std::clamp<std::int64_t>(v, 0, static_cast<std::int64_t>(side) - 1));
    };
    std::vector<double> H(w * h), V(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            for (std::size_t t = 0; t < k.size(); ++t)
                H[y * w + x] = H[y * w + x] + k[t] * img[y * w + clamp(static_cast<std::int64_t>(x + t) - n, w)];
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            for (std::size_t t = 0; t < k.size(); ++t)
                V[y * w + x] = V[y * w + x] + k[t] * H[clamp(static_cast<std::int64_t>(y + t) - n, h) * w + x];
    const auto size = downsampled_size(w, h, scale);
    std::vector<double> out;
    for (std::uint64_t j = 0; j < size.height; ++j)
        for (std::uint64_t i = 0; i < size.width; ++i)
            out.push_back(V[downsample_source(j, scale, h) * w + downsample_source(i, scale, w)]);
    return out;
}

struct Case {
    std::size_t w, h;
    double scale;
};

class Downsample : public ::testing::TestWithParam<Case> {};

TEST_P(Downsample, MatchesTheClampedBlurExactly) {
    const auto [w, h, scale] = GetParam();
    std::mt19937 rng(w * 31 + h);
    std::uniform_real_distribution<double> value(0, 255);
    std::vector<double> img(w * h);
    for (double& v : img) v = value(rng);
    img[0] = 1000;  // a bright corner pixel must not be mirrored
    WorkerPool alone(0), many(3);
    const GrayImage a = gaussian_downsample(GrayImage::borrowing(w, h, img), scale, alone);
    const GrayImage b = gaussian_downsample(GrayImage::borrowing(w, h, img), scale, many);
    const auto expected = reference_blur(img, w, h, scale);
    ASSERT_EQ(std::vector<double>(a.samples.begin(), a.samples.end()), expected);
    ASSERT_EQ(std::vector<double>(b.samples.begin(), b.samples.end()), expected);
}

// Such as 40x30_scale0_8.
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    return param_name(info.param.w, 'x', info.param.h, "_scale", info.param.scale);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Downsample,
                         ::testing::Values(Case{40, 30, 0.8}, Case{33, 17, 0.5}, Case{5, 12, 0.1},
                                           Case{64, 9, 0.25}, Case{101, 4, 0.8}),
                         case_name);

TEST(Downsample, ConstantStaysConstant) {
    const std::vector<double> img(57 * 31, 97.25);
    const GrayImage out = gaussian_downsample(GrayImage::borrowing(57, 31, img), 0.3);
    EXPECT_EQ(out.width, 17u);
    EXPECT_EQ(out.height, 9u);
    for (double v : out.samples) EXPECT_NEAR(v, 97.25, 1e-12);
}

// A dark image with a bright vertical band from column 20 to 39.
template <class T>
std::vector<T> band(std::size_t w, std::size_t h, T dark, T bright) {
    std::vector<T> img(w * h, dark);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 20; x < 40; ++x) img[y * w + x] = bright;
    return img;
}

std::vector<Segment> detected(const Checked<std::vector<Segment>>& r) { return std::get<std::vector<Segment>>(r); }

TEST(DetectSegments, BandEdgesAreFound) {
    const auto img = band<double>(60, 50, 10, 200);
    const auto segments = detected(detect_segments<double>(img, 60, 50, 1.0));
    ASSERT_EQ(segments.size(), 2u);
    for (const Segment& s : segments) {
        EXPECT_NEAR(s.x1, s.x2, 0.5);
        EXPECT_TRUE(std::fabs(s.x1 - 20) < 1 || std::fabs(s.x1 - 40) < 1) << s.x1;
        EXPECT_GT(std::fabs(s.y2 - s.y1), 40);
        EXPECT_GT(s.log_nfa, 0);
        EXPECT_EQ(s.precision, 0.125);
    }
}

TEST(DetectSegments, SampleTypesAgree) {
    const auto as_u8 = band<std::uint8_t>(60, 50, 10, 200);
    const auto as_u16 = band<std::uint16_t>(60, 50, 10 * 257, 200 * 257);
    const auto as_f32 = band<float>(60, 50, 10, 200);
    const auto reference = detected(detect_segments<std::uint8_t>(as_u8, 60, 50, 0.8));
    ASSERT_FALSE(reference.empty());
    const auto same = [&](const std::vector<Segment>& other) {
        ASSERT_EQ(other.size(), reference.size());
        for (std::size_t i = 0; i < other.size(); ++i)
            EXPECT_EQ(std::memcmp(&other[i], &reference[i], sizeof(Segment)), 0);
    };
    same(detected(detect_segments<std::uint16_t>(as_u16, 60, 50, 0.8)));
    same(detected(detect_segments<float>(as_f32, 60, 50, 0.8)));
}

TEST(DetectSegments, SmallImagesAndScales) {
    const std::vector<double> three = {0, 0, 255, 0, 0, 255, 0, 0, 255};
    EXPECT_NO_THROW(detect_segments<double>(three, 3, 3, 1.0));
    EXPECT_TRUE(detected(detect_segments<double>(three, 3, 3, 0.8)).empty());
    const std::vector<double> flat(2 * 50, 1.0);
    EXPECT_TRUE(detected(detect_segments<double>(flat, 2, 50, 1.0)).empty());
    const auto img = band<double>(60, 50, 10, 200);
    for (double scale : {-0.5, 0.0, 1e-300}) EXPECT_TRUE(detected(detect_segments<double>(img, 60, 50, scale)).empty());
    // NaN and large scales work at full resolution.
    const auto full = detected(detect_segments<double>(img, 60, 50, 1.0));
    for (double scale : {std::nan(""), 3.0}) EXPECT_EQ(detected(detect_segments<double>(img, 60, 50, scale)).size(), full.size());
    EXPECT_EQ(std::get<SizeMismatch>(detect_segments<double>(std::span(img).first(10), 60, 50, 1.0)),
              (SizeMismatch{3000, 10}));
}

TEST(DetectSegments, CoordinatesScaleBackToTheInput) {
    const auto img = band<double>(100, 80, 10, 200);
    for (const Segment& s : detected(detect_segments<double>(img, 100, 80, 0.5))) {
        EXPECT_TRUE(std::fabs(s.x1 - 20) < 2 || std::fabs(s.x1 - 40) < 2) << s.x1;
        EXPECT_GT(std::fabs(s.y2 - s.y1), 60);
    }
}

TEST(SortLongestFirst, StableUnderTotalOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto seg = [](double length, double tag) { return Segment{0, 0, length, 0, 1, tag, 1}; };
    std::vector<Segment> s = {seg(3, 0), seg(5, 1), seg(3, 2), seg(nan, 3), seg(0, 4), seg(5, 5)};
    sort_longest_first(s);
    std::vector<double> tags;
    for (const Segment& x : s) tags.push_back(x.precision);
    // hypot ignores the sign: NaN lengths are positive NaNs, after +inf.
    EXPECT_EQ(tags, (std::vector<double>{3, 1, 5, 0, 2, 4}));
}

}  // namespace
}  // namespace trelvane
