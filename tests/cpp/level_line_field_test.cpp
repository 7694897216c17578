#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "detector/level_line_field.hpp"
#include "detector/pseudo_order.hpp"
#include "param_names.hpp"

namespace trelvane {
namespace {

GradientField field_of(const std::vector<double>& samples, std::size_t w, std::size_t h) {
    return level_line_field(GrayImage::borrowing(w, h, samples));
}

const GradientRecord& at(const GradientField& f, std::size_t x, std::size_t y) {
    return f.records[y * f.width + x];
}

bool undefined(const GradientRecord& r) { return r.magnitude == 0 && r.dir_x == 0 && r.dir_y == 0; }

struct Step {
    double a, b;
    float direction;  // expected sign of the level-line component
};

class StepEdges : public ::testing::TestWithParam<Step> {};

TEST_P(StepEdges, VerticalEdge) {
    const auto [a, b, sign] = GetParam();
    const std::size_t w = 6, h = 4;
    std::vector<double> img(w * h);
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = (i % w) <= 2 ? a : b;
    const GradientField f = field_of(img, w, h);
    for (std::size_t y = 0; y + 1 < h; ++y) {
        const GradientRecord& r = at(f, 2, y);
        EXPECT_EQ(r.magnitude, static_cast<float>(std::fabs(b - a)));
        EXPECT_EQ(r.dir_x, 0.0f);
        EXPECT_EQ(r.dir_y, sign);
        EXPECT_TRUE(undefined(at(f, 1, y)));
        EXPECT_TRUE(undefined(at(f, 3, y)));
    }
}

TEST_P(StepEdges, HorizontalEdge) {
    const auto [a, b, sign] = GetParam();
    const std::size_t w = 4, h = 5;
    std::vector<double> img(w * h);
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = (i / w) <= 1 ? a : b;
    const GradientField f = field_of(img, w, h);
    for (std::size_t x = 0; x + 1 < w; ++x) {
        const GradientRecord& r = at(f, x, 1);
        EXPECT_EQ(r.magnitude, static_cast<float>(std::fabs(b - a)));
        EXPECT_EQ(r.dir_x, -sign);
        EXPECT_EQ(r.dir_y, 0.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Contrasts, StepEdges,
                         ::testing::Values(Step{10, 250, 1.0f}, Step{250, 10, -1.0f}, Step{0, 0.5, 1.0f}),
                         [](const auto& info) { return param_name("from", info.param.a, "_to", info.param.b); });

std::vector<double> noise_image(std::size_t w, std::size_t h, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> value(0, 255);
    std::vector<double> img(w * h);
    for (double& v : img) v = value(rng);
    return img;
}

TEST(LevelLineField, LastRowAndColumnAreAlwaysZero) {
    const std::size_t w = 17, h = 9;
    const auto img = noise_image(w, h, 4);
    const GradientField f = field_of(img, w, h);
    for (std::size_t y = 0; y < h; ++y) EXPECT_TRUE(undefined(at(f, w - 1, y)));
    for (std::size_t x = 0; x < w; ++x) EXPECT_TRUE(undefined(at(f, x, h - 1)));
    for (std::size_t y = 0; y + 1 < h; ++y)
        for (std::size_t x = 0; x + 1 < w; ++x) {
            const GradientRecord& r = at(f, x, y);
            EXPECT_GT(r.magnitude, 0.0f);
            EXPECT_NEAR(std::hypot(r.dir_x, r.dir_y), 1.0, 1e-6);
        }
}

TEST(LevelLineField, ValuesFollowTheHalfWeightedDifferences) {
    const std::vector<double> img = {1, 4, 0, 2, 9, 0, 0, 0, 0};  // 3 × 3
    const GradientField f = field_of(img, 3, 3);
    const double gx = (((4.0 + 9.0) - 1.0) - 2.0) * 0.5, gy = (((2.0 + 9.0) - 1.0) - 4.0) * 0.5;
    const double m = std::hypot(gx, gy);
    EXPECT_EQ(at(f, 0, 0).magnitude, static_cast<float>(m));
    EXPECT_EQ(at(f, 0, 0).dir_x, static_cast<float>(-gy / m));
    EXPECT_EQ(at(f, 0, 0).dir_y, static_cast<float>(gx / m));
    // Only (0,0), (1,0), (0,1) and (1,1) are computed in a 3 × 3 image.
    for (std::size_t i : {2u, 5u, 6u, 7u, 8u}) EXPECT_TRUE(undefined(f.records[i]));
}

TEST(LevelLineField, FlatAndNaNNeighbourhoodsAreUndefined) {
    std::vector<double> img(5 * 5, 42.0);
    for (const auto& r : field_of(img, 5, 5).records) EXPECT_TRUE(undefined(r));
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<double>(i * i % 7);
    img[2 * 5 + 2] = std::nan("");
    const GradientField f = field_of(img, 5, 5);
    for (std::size_t y = 0; y < 4; ++y)
        for (std::size_t x = 0; x < 4; ++x) {
            const bool touches_nan = (x == 1 || x == 2) && (y == 1 || y == 2);
            if (touches_nan) {
                EXPECT_TRUE(undefined(at(f, x, y))) << x << "," << y;
            }
        }
}

TEST(LevelLineField, SameFieldForAnyWorkerCount) {
    const std::size_t w = 131, h = 77;
    const auto img = noise_image(w, h, 11);
    WorkerPool alone(0), many(5);
    const GradientField a = level_line_field(GrayImage::borrowing(w, h, img), alone);
    const GradientField b = level_line_field(GrayImage::borrowing(w, h, img), many);
    ASSERT_EQ(a.records.size(), b.records.size());
    EXPECT_EQ(std::memcmp(a.records.data(), b.records.data(), a.records.size() * sizeof(GradientRecord)), 0);
}

GradientField magnitudes(std::vector<float> m) {
    GradientField f{m.size(), 1, {}};
    for (float v : m) f.records.push_back({v, 1, 0});
    return f;
}

using Seeds = std::vector<std::uint32_t>;

TEST(PseudoOrder, EmptyWhenNothingExceedsTheThreshold) {
    EXPECT_TRUE(pseudo_order(magnitudes({0, 0, 0}), rho).empty());
    EXPECT_TRUE(pseudo_order(magnitudes({1, rho, 3}), rho).empty());
}

TEST(PseudoOrder, BinsFromStrongestThenIndexOrder) {
    std::vector<float> m(12, 0);
    m[5] = 10.0f;
    m[9] = 10.001f;  // same bin as index 5 with a maximum of 1000
    m[2] = 1000.0f;
    m[7] = 1000.0f;
    m[11] = 600.0f;
    m[3] = std::nextafter(rho, 100.0f);  // just above the threshold
    m[4] = rho;                          // equal: not a seed
    m[6] = std::nanf("");
    EXPECT_EQ(pseudo_order(magnitudes(m), rho), (Seeds{2, 7, 11, 5, 9, 3}));
}

TEST(PseudoOrder, InfiniteMaximumPutsEverythingInBinZero) {
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(pseudo_order(magnitudes({50, inf, 0, 900, inf}), rho), (Seeds{0, 1, 3, 4}));
}

}  // namespace
}  // namespace trelvane
