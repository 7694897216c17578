#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "detector/improve_rect.hpp"
#include "detector/rect_nfa.hpp"

namespace trelvane {
namespace {

constexpr std::uint64_t W = 40, H = 20;
constexpr GradientRecord east{10, 1, 0};

Rect row_rect(double y, double width, double x2 = 9) {
    return {0, y, x2, y, width, 1, 0, angle_tolerance, aligned_probability};
}

std::vector<GradientRecord> rows(std::initializer_list<int> ys, GradientRecord record) {
    std::vector<GradientRecord> field(W * H);
    for (int y : ys) std::fill_n(field.begin() + y * W, W, record);
    return field;
}

double improve(Rect& r, const std::vector<GradientRecord>& field, double log_nt) {
    return improve_rect(r, field, rho, log_nt, W, H);
}

TEST(ImproveRect, MeaningfulRectIsKept) {
    // Finer precisions would score higher: only the early exit keeps p.
    Rect r = row_rect(2, 1);
    EXPECT_DOUBLE_EQ(improve(r, rows({2}, east), 0), 10 * std::log10(8.0));
    EXPECT_EQ(r, row_rect(2, 1));
}

TEST(ImproveRect, ZeroIsNotMeaningful) {
    const auto field = rows({2}, east);
    Rect r = row_rect(2, 1);
    const double log_nt = -(10 * std::log10(0.125));
    ASSERT_EQ(rect_nfa(r, field, rho, log_nt, W, H), 0.0);
    EXPECT_GT(improve(r, field, log_nt), 0.0);
    EXPECT_EQ(r.p, 0.125 / 32);  // all five halvings won, then the exit
}

TEST(ImproveRect, TiesKeepTheEntryRect) {
    Rect r = row_rect(2, 3);
    EXPECT_EQ(improve(r, std::vector<GradientRecord>(W * H), 4), -4.0);
    EXPECT_EQ(r, row_rect(2, 3));
}

struct Precision {
    const char* name;
    int exact, off;  // pixels of the row at angle 0, then at `angle`
    float angle;
    double p;  // of the winner
};

class PrecisionTrials : public ::testing::TestWithParam<Precision> {};

// Width and side trials of a one-row rect only tie; p and prec change.
TEST_P(PrecisionTrials, KeepTheBestHalving) {
    const Precision& c = GetParam();
    std::vector<GradientRecord> field(W * H);
    for (int x = 0; x < c.exact + c.off; ++x)
        field[2 * W + x] = x < c.exact ? east : GradientRecord{10, std::cos(c.angle), std::sin(c.angle)};
    Rect r = row_rect(2, 1, c.exact + c.off - 1);
    Rect expected = r;
    expected.p = c.p;
    expected.prec = pi * c.p;
    improve(r, field, 100);
    EXPECT_EQ(r, expected);
}

INSTANTIATE_TEST_SUITE_P(
    ImproveRect, PrecisionTrials,
    ::testing::Values(
        // Aligned down to pi·p/8 only: step 2 ends at p/8, step 6 finds nothing.
        Precision{"WinAtEighth", 0, 10, 0.04f, 0.125 / 8},
        // p/2 drops five pixels and loses, the halving goes on, p/4 and all
        // later ones win.
        Precision{"LossThenWins", 15, 5, 0.3f, 0.125 / 1024}),
    [](const auto& info) { return info.param.name; });

// A tilted rect over a field aligned within `core` of its central line and
// crossing elsewhere: every narrowing that drops pixels wins.
Rect tilted(double width, double core, std::vector<GradientRecord>& field) {
    const double dx = 36 / std::hypot(36.0, 11.0), dy = 11 / std::hypot(36.0, 11.0);
    for (std::uint64_t y = 0; y < H; ++y)
        for (std::uint64_t x = 0; x < W; ++x) {
            const bool in = std::fabs(dx * (y - 9.5) - dy * (x - 20.0)) <= core;
            field.push_back(in ? GradientRecord{10, float(dx), float(dy)} : GradientRecord{10, float(-dy), float(dx)});
        }
    return {2, 4, 38, 15, width, dx, dy, angle_tolerance, aligned_probability};
}

TEST(ImproveRect, WidthTrialsStopAtHalfAPixel) {
    for (const auto [width, core, result] : {std::tuple{3.0, 0.25, 0.5}, {0.9, 0.2, 0.9}}) {
        std::vector<GradientRecord> field;
        Rect r = tilted(width, core, field);
        const Rect entry = r;
        improve(r, field, 1000);
        EXPECT_EQ(r.width, result) << width;  // from 3.0: 2.5, 2.0, 1.5, 1.0, 0.5 all won
        EXPECT_EQ(std::tie(r.x1, r.y1, r.x2, r.y2), std::tie(entry.x1, entry.y1, entry.x2, entry.y2));
    }
}

class OneSide : public ::testing::TestWithParam<std::pair<int, double>> {};

// Over rows 1..3 with aligned pixels on row 2 and one neighbour, the first
// one-sided trial towards that neighbour wins and the second only ties.
TEST_P(OneSide, ShiftedNarrowerRectWins) {
    const auto [neighbour, y] = GetParam();
    // Aligned only within pi/8: no finer precision wins.
    const auto field = rows({2, neighbour}, GradientRecord{10, std::cos(0.3f), std::sin(0.3f)});
    Rect r = row_rect(2, 2);
    improve(r, field, 100);
    EXPECT_EQ(r, row_rect(y, 1.5));
}

INSTANTIATE_TEST_SUITE_P(ImproveRect, OneSide, ::testing::Values(std::pair{3, 2.25}, std::pair{1, 1.75}));

}  // namespace
}  // namespace trelvane
