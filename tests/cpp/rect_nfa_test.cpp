#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "detector/rect_nfa.hpp"
#include "shared.hpp"

namespace trelvane {
namespace {

constexpr GradientRecord east{10, 1, 0}, south{10, 0, 1};

Rect segment(double x1, double y1, double x2, double y2, double width, double dx, double dy) {
    return {x1, y1, x2, y2, width, dx, dy, angle_tolerance, aligned_probability};
}

struct Covered {
    const char* name;
    std::uint64_t width, height;
    Rect rect;
    GradientRecord record;
    int n;
};

class AllAligned : public ::testing::TestWithParam<Covered> {};

TEST_P(AllAligned, GiveMinusLogNtMinusNLog10P) {
    const Covered& c = GetParam();
    const std::vector<GradientRecord> field(c.width * c.height, c.record);
    EXPECT_DOUBLE_EQ(rect_nfa(c.rect, field, rho, 1.5, c.width, c.height), c.n * std::log10(8.0) - 1.5);
}

INSTANTIATE_TEST_SUITE_P(
    RectNfa, AllAligned,
    ::testing::Values(Covered{"Row", 10, 1, segment(0, 0, 9, 0, 1, 1, 0), east, 10},
                      // The direction is (dx, dy), never the end points'.
                      Covered{"ReversedEnds", 10, 1, segment(9, 0, 0, 0, 1, 1, 0), east, 10},
                      Covered{"Column", 5, 10, segment(2, 0, 2, 9, 1, 0, 1), south, 10},
                      // |along| = hl at columns 1, 3 and |across| = hw at rows 0, 2.
                      Covered{"EdgesInclusive", 5, 3, segment(1, 1, 3, 1, 2, 1, 0), east, 9},
                      Covered{"OutLeft", 5, 1, segment(-3, 0, 2, 0, 1, 1, 0), east, 3},
                      Covered{"OutTop", 1, 5, segment(0, -4, 0, 1, 1, 0, 1), south, 2},
                      Covered{"OutRight", 5, 1, segment(3, 0, 12, 0, 1, 1, 0), east, 2},
                      Covered{"OutBottom", 1, 5, segment(0, 3, 0, 9, 1, 0, 1), south, 2}),
    [](const auto& info) { return info.param.name; });

TEST(RectNfa, NothingAlignedGivesMinusLogNt) {
    const std::vector<GradientRecord> weak(100, GradientRecord{rho, 1, 0}), strong(100, east);
    EXPECT_EQ(rect_nfa(segment(-50, -50, -40, -50, 3, 1, 0), strong, rho, 2.5, 10, 10), -2.5);
    EXPECT_EQ(rect_nfa(segment(0, 5, 9, 5, 9, 1, 0), weak, rho, 2.5, 10, 10), -2.5);
    EXPECT_EQ(rect_nfa(segment(0, 5, 9, 5, 9, 1, 0), {}, rho, 2.5, 0, 0), -2.5);
}

TEST(RectNfa, IndexBeyondTheFieldFails) {
    const std::vector<GradientRecord> field(4 * 4 - 1, east);  // one record short
    EXPECT_THROW(rect_nfa(segment(0, 3, 3, 3, 1, 1, 0), field, rho, 0, 4, 4), InternalFailure);
    EXPECT_NO_THROW(rect_nfa(segment(0, 1, 3, 1, 1, 1, 0), field, rho, 0, 4, 4));
}

struct Probe {
    const char* name;
    GradientRecord record;
    double prec;
    bool aligned;
};

class ProbePixel : public ::testing::TestWithParam<Probe> {};

// Three aligned pixels and the probe: k is 4 or 3 of n = 4.
TEST_P(ProbePixel, IsAlignedOrNot) {
    const Probe& c = GetParam();
    Rect r = segment(0, 0, 3, 0, 1, 1, 0);
    r.prec = c.prec;
    const std::vector<GradientRecord> field = {east, east, c.record, east};
    EXPECT_EQ(rect_nfa(r, field, rho, 0, 4, 1), nfa_from_counts(4, c.aligned ? 4 : 3, r.p, 0));
}

// float(cos 0.31) lies below cos 0.31: a 64-bit c would reject the probe at 0.31.
const float cos031 = static_cast<float>(std::cos(0.31)), sin031 = static_cast<float>(std::sin(0.31));
const float nan = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    RectNfa, ProbePixel,
    ::testing::Values(Probe{"AtThreshold", {rho, 1, 0}, angle_tolerance, false},
                      Probe{"AboveThreshold", {std::nextafter(rho, 10.0f), 1, 0}, angle_tolerance, true},
                      Probe{"NanMagnitude", {nan, 1, 0}, angle_tolerance, false},
                      Probe{"NanDirection", {10, nan, 0}, angle_tolerance, false},
                      Probe{"Opposite", {10, -1, 0}, 3.0, false},
                      Probe{"AtPrecision", {10, cos031, sin031}, 0.31, true},
                      Probe{"BeyondPrecision", {10, cos031, sin031}, 0.309, false}),
    [](const auto& info) { return info.param.name; });

TEST(NfaFromCounts, ShortTailIsSummedInFull) {
    EXPECT_NEAR(nfa_from_counts(3, 1, 0.125, 0.5), -std::log10(169.0 / 512) - 0.5, 1e-12);  // 1 - (7/8)^3
    EXPECT_EQ(nfa_from_counts(3, 0, 0.125, 0.5), -0.5);
}

TEST(NfaFromCounts, LongTailIsCutWithinTenPercent) {
    long double tail = 0, choose = 184756;  // C(20, 10)
    for (int i = 10; i <= 20; choose = choose * (20 - i) / (i + 1), ++i)
        tail += choose * std::pow(0.125L, i) * std::pow(0.875L, 20 - i);
    const double exact = static_cast<double>(-std::log10(tail));
    const double v = nfa_from_counts(20, 10, 0.125, 0);
    EXPECT_GT(v, exact + 1e-6);
    EXPECT_LT(v - exact, 0.1 * exact);
}

TEST(NfaFromCounts, UnderflowingFirstTerm) {
    const long double log1term = std::lgamma(3001.0L) - std::lgamma(2001.0L) - std::lgamma(1001.0L) +
                                 2000 * std::log(0.125L) + 1000 * std::log(0.875L);
    ASSERT_EQ(std::exp(static_cast<double>(log1term)), 0.0);
    const double expected = static_cast<double>(-log1term / std::log(10.0L));
    EXPECT_NEAR(nfa_from_counts(3000, 2000, 0.125, 0), expected, 1e-9 * expected);
    EXPECT_EQ(nfa_from_counts(100000, 1, 0.125, 1.25), -1.25);  // below the mean: tail 1
}

TEST(LogGamma, MatchesLogFactorials) {
    EXPECT_NEAR(log_gamma(2), 0.0, 1e-12);
    long double log_factorial = 0;  // ln (x - 1)!
    for (int x = 3; x <= 400; ++x) {
        log_factorial += std::log(static_cast<long double>(x - 1));
        EXPECT_NEAR(log_gamma(x), static_cast<double>(log_factorial), 1e-10 * static_cast<double>(log_factorial)) << x;
    }
}

TEST(LogGamma, WindschitlFromFifteenOn) {
    const auto windschitl = [](double x) {
        return 0.918938533204673 + (x - 0.5) * std::log(x) - x +
               0.5 * x * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * std::pow(x, 6)));
    };
    EXPECT_EQ(log_gamma(15), windschitl(15));  // 15^6 is exact in any order
    EXPECT_NE(log_gamma(14), windschitl(14));
}

}  // namespace
}  // namespace trelvane
