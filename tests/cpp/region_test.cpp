#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "detector/grow_region.hpp"
#include "detector/refine_region.hpp"
#include "detector/region_to_rect.hpp"

namespace trelvane {
namespace {

// A w × h field whose listed pixels point at the given level-line angles;
// every other pixel is undefined and marked used, as the driver would.
struct Scene {
    GradientField field;
    UsedMask used;

    Scene(std::size_t w, std::size_t h) : field{w, h, FilledLater<GradientRecord>(w * h, GradientRecord{})}, used(w * h, 1) {}

    std::uint32_t index(std::size_t x, std::size_t y) const { return static_cast<std::uint32_t>(y * field.width + x); }
    void set(std::size_t x, std::size_t y, double angle, float magnitude = 50) {
        field.records[index(x, y)] = {magnitude, static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
        used[index(x, y)] = 0;
    }
};

TEST(GrowRegion, IsolatedSeedKeepsItsOwnAngle) {
    Scene s(5, 5);
    s.set(2, 2, 1.0);
    Region region = {99, 98};  // cleared by the growth
    const double angle = grow_region(s.index(2, 2), angle_tolerance, s.field, s.used, region).angle();
    EXPECT_EQ(region, Region{s.index(2, 2)});
    const GradientRecord& r = s.field.records[s.index(2, 2)];
    EXPECT_EQ(angle, std::atan2(static_cast<double>(r.dir_y), static_cast<double>(r.dir_x)));
    EXPECT_EQ(s.used[s.index(2, 2)], 1);
}

TEST(GrowRegion, BreadthFirstInNeighbourOrderWithoutWrapping) {
    Scene s(4, 3);
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 0; x < 4; ++x) s.set(x, y, 0.3);
    Region region;
    grow_region(s.index(0, 0), angle_tolerance, s.field, s.used, region);
    // Corner seed: only (1,0), (0,1), (1,1); then their neighbours in turn.
    EXPECT_EQ(region, (Region{0, 1, 4, 5, 2, 6, 8, 9, 10, 3, 7, 11}));
    for (auto u : s.used) EXPECT_EQ(u, 1);

    Scene edge(4, 3);
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 0; x < 4; ++x) edge.set(x, y, 0.3);
    grow_region(edge.index(3, 1), angle_tolerance, edge.field, edge.used, region);
    EXPECT_EQ(Region(region.begin(), region.begin() + 6), (Region{7, 2, 3, 6, 10, 11}));
}

TEST(GrowRegion, StraightEdgeIsFollowedFromTheSeed) {
    Scene s(9, 3);
    for (std::size_t x = 0; x < 9; ++x) s.set(x, 1, 2.0);
    Region region;
    const double angle = grow_region(s.index(4, 1), angle_tolerance, s.field, s.used, region).angle();
    EXPECT_EQ(region, (Region{13, 12, 14, 11, 15, 10, 16, 9, 17}));
    EXPECT_NEAR(angle, 2.0, 1e-6);
}

TEST(GrowRegion, OppositeMarkedAndMisalignedPixelsStayOut) {
    Scene s(5, 1);
    s.set(0, 0, 0.0);
    s.set(1, 0, 0.39);   // within pi/8 of the seed
    s.set(2, 0, 0.0);
    s.set(3, 0, 0.0 + pi);  // reversed contrast
    s.set(4, 0, 0.0);
    Region region;
    grow_region(s.index(2, 0), angle_tolerance, s.field, s.used, region);
    EXPECT_EQ(region, (Region{2, 1, 0}));

    Scene t(3, 1);
    t.set(0, 0, 0.40);
    t.set(1, 0, 0.0);
    t.set(2, 0, 0.0);
    t.used[2] = 1;  // taken by an earlier region, though aligned
    grow_region(t.index(1, 0), angle_tolerance, t.field, t.used, region);
    EXPECT_EQ(region, Region{1});
}

TEST(GrowRegion, EarlierAcceptanceMovesTheMeanForLaterNeighbours) {
    // (1,0) is 0.3 from the seed; once accepted it drags the mean so that
    // (2,1), 0.45 from the seed, falls within the tolerance.
    Scene s(3, 2);
    s.set(1, 1, 0.0);
    s.set(1, 0, 0.3);
    s.set(2, 1, 0.45);
    Region region;
    grow_region(s.index(1, 1), angle_tolerance, s.field, s.used, region);
    EXPECT_EQ(region, (Region{4, 1, 5}));
}

Region row_run(Scene& s, std::size_t y, std::size_t from, std::size_t to, double angle) {
    Region r;
    for (std::size_t x = from; x <= to; ++x) s.set(x, y, angle), r.push_back(s.index(x, y));
    return r;
}

TEST(RegionToRect, HorizontalRunInBothSenses) {
    Scene s(12, 3);
    const Region run = row_run(s, 0, 2, 9, 0.0);
    const Rect r = region_to_rect(run, s.field, 0.01, 0.125);
    EXPECT_NEAR(r.dx, 1, 1e-12);
    EXPECT_NEAR(r.dy, 0, 1e-12);
    EXPECT_NEAR(r.x1, 2, 1e-9);
    EXPECT_NEAR(r.x2, 9, 1e-9);
    EXPECT_EQ(r.width, 1.0);
    EXPECT_EQ(r.prec, 0.39269908169872414);
    EXPECT_EQ(r.p, 0.125);
    const Rect back = region_to_rect(run, s.field, pi - 0.01, 0.0625);
    EXPECT_NEAR(back.dx, -1, 1e-12);
    EXPECT_NEAR(back.x1, 9, 1e-9);
    EXPECT_NEAR(back.x2, 2, 1e-9);
    EXPECT_EQ(back.p, 0.0625);
}

TEST(RegionToRect, AxisExactlyAtTheToleranceIsNotTurned) {
    Scene s(8, 1);
    const Region run = row_run(s, 0, 1, 6, 0.0);
    // The principal angle of a horizontal run is exactly pi here.
    ASSERT_EQ(pi - 2.748893571891069, angle_tolerance);
    EXPECT_EQ(region_to_rect(run, s.field, 2.748893571891069, 0.125).dx, -1.0);
    EXPECT_EQ(region_to_rect(run, s.field, std::nextafter(2.748893571891069, 0.0), 0.125).dx, 1.0);
}

TEST(RegionToRect, VerticalRunAndBands) {
    Scene s(10, 10);
    Region column;
    for (std::size_t y = 1; y <= 7; ++y) s.set(4, y, pi / 2), column.push_back(s.index(4, y));
    const Rect up = region_to_rect(column, s.field, pi / 2, 0.125);
    EXPECT_NEAR(up.dx, 0, 1e-12);
    EXPECT_NEAR(up.dy, 1, 1e-12);
    EXPECT_EQ(up.width, 1.0);
    EXPECT_NEAR(region_to_rect(column, s.field, -pi / 2, 0.125).dy, -1, 1e-12);

    Region band;
    for (std::size_t y = 2; y <= 4; ++y)
        for (std::size_t x = 0; x < 10; ++x) s.set(x, y, 0.0), band.push_back(s.index(x, y));
    EXPECT_NEAR(region_to_rect(band, s.field, 0.0, 0.125).width, 2.0, 1e-9);

    Region diagonal;  // two adjacent diagonal lines spread 0.71 across
    Scene d(10, 10);
    for (std::size_t i = 0; i < 8; ++i) {
        d.set(i, i, pi / 4), d.set(i + 1, i, pi / 4);
        diagonal.push_back(d.index(i, i)), diagonal.push_back(d.index(i + 1, i));
    }
    EXPECT_EQ(region_to_rect(diagonal, d.field, pi / 4, 0.125).width, 1.0);
}

TEST(RegionToRect, HeavierPixelsPullTheCentre) {
    Scene s(10, 1);
    Region run = row_run(s, 0, 0, 8, 0.0);
    s.field.records[8].magnitude = 500;
    const Rect r = region_to_rect(run, s.field, 0.0, 0.125);
    // The end points stay at the outermost pixels; the centre only shifts.
    EXPECT_NEAR(r.x1, 0, 1e-9);
    EXPECT_NEAR(r.x2, 8, 1e-9);
}

TEST(RefineRegion, DenseEnoughRegionIsLeftAlone) {
    Scene s(12, 3);
    Region region = row_run(s, 1, 0, 6, 0.0);  // 7 pixels
    for (auto q : region) s.used[q] = 1;
    Rect rect{0, 1, 10, 1, 1.0, 1, 0, angle_tolerance, 0.125};  // density 7 / 10 = 0.7
    const Region before_region = region;
    const Rect before_rect = rect;
    const UsedMask before_used = s.used;
    EXPECT_TRUE(refine_region(region, rect, s.used, s.field, 4));
    EXPECT_EQ(region, before_region);
    EXPECT_EQ(rect, before_rect);
    EXPECT_EQ(s.used, before_used);

    Rect tiny{0, 1, 0.5, 1, 1.0, 1, 0, angle_tolerance, 0.125};  // area below 1: density = n
    EXPECT_TRUE(refine_region(region, tiny, s.used, s.field, 4));
}

TEST(RefineRegion, RegrownRegionTooSmallIsRejected) {
    Scene s(10, 3);
    Region region = row_run(s, 1, 0, 5, 0.0);
    s.set(6, 1, 0.3);  // grown at pi/8, not at the tight tolerance below
    region.push_back(s.index(6, 1));
    for (auto q : region) s.used[q] = 1;
    const Rect first{0, 1, 60, 1, 1.0, 1, 0, angle_tolerance, 0.125};
    Rect rect = first;
    // Seed (2,1): every pixel within one width of it has the seed's angle, so
    // the tolerance is 0 and only the six pixels of angle 0 come back.
    std::swap(region[0], region[2]);
    EXPECT_FALSE(refine_region(region, rect, s.used, s.field, 7));
    EXPECT_EQ(rect, first);
    EXPECT_EQ(region.size(), 6u);
    EXPECT_EQ(region[0], s.index(2, 1));
    EXPECT_EQ(s.used[s.index(6, 1)], 0);  // released, not regrown
    for (auto q : region) EXPECT_EQ(s.used[q], 1);
}

TEST(RefineRegion, ShrinksAroundTheSeedUntilDense) {
    // An L of identical directions: regrowth brings it all back, and only
    // cutting the arms around the corner seed makes it dense.
    Scene s(20, 20);
    Region region;
    for (std::size_t i = 0; i < 12; ++i) s.set(4 + i, 4, 0.0), region.push_back(s.index(4 + i, 4));
    for (std::size_t i = 1; i < 12; ++i) s.set(4, 4 + i, 0.0), region.push_back(s.index(4, 4 + i));
    for (auto q : region) s.used[q] = 1;
    Rect rect = region_to_rect(region, s.field, 0.0, 0.125);
    ASSERT_TRUE(refine_region(region, rect, s.used, s.field, 4));
    EXPECT_EQ(region[0], s.index(4, 4));
    EXPECT_LT(region.size(), 23u);
    EXPECT_GE(region.size(), 4u);
    const Rect expected = region_to_rect(region, s.field, 0.0, 0.125);
    EXPECT_EQ(rect, expected);
    const double length = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    EXPECT_GE(region.size() / std::max(length * rect.width, 1.0), 0.7);
    std::size_t marked = 0;
    for (auto u : s.used) marked += u == 0 ? 0 : 1;
    EXPECT_EQ(marked, 20 * 20 - 23 + region.size());  // removed pixels are free again
}

TEST(PixelGrid, SplitsIndicesLikeDivision) {
    std::mt19937 rng(5);
    for (std::uint64_t w : {2ull, 3ull, 7ull, 640ull, 1638ull, 65537ull, 4294967295ull}) {
        const PixelGrid grid(w);
        for (std::uint32_t n : {0u, 1u, 4294967295u, 4294967294u, static_cast<std::uint32_t>(w - 1)}) {
            EXPECT_EQ(grid.y(n), n / w) << w << " " << n;
            EXPECT_EQ(grid.x(n), n % w) << w << " " << n;
        }
        for (int i = 0; i < 2000; ++i) {
            const std::uint32_t n = rng();
            ASSERT_EQ(grid.y(n), n / w);
            ASSERT_EQ(grid.x(n), n % w);
        }
    }
}

// Growth written out with one hypot per accepted pixel and one cosine per
// call: the shortcuts of grow_region must not change a single decision.
double textbook_growth(std::uint32_t seed, double tolerance, const GradientField& f, UsedMask& used, Region& region) {
    const double c = std::cos(tolerance);
    double sx = f.records[seed].dir_x, sy = f.records[seed].dir_y, t = c;
    region = {seed};
    used[seed] = 1;
    const auto w = static_cast<std::int64_t>(f.width), h = static_cast<std::int64_t>(f.height);
    for (std::size_t k = 0; k < region.size(); ++k) {
        const std::int64_t x = region[k] % w, y = region[k] / w;
        for (std::int64_t ny = y - 1; ny <= y + 1; ++ny)
            for (std::int64_t nx = x - 1; nx <= x + 1; ++nx) {
                if (nx < 0 || ny < 0 || nx >= w || ny >= h || (nx == x && ny == y)) continue;
                const auto q = static_cast<std::uint32_t>(ny * w + nx);
                if (used[q]) continue;
                const double mx = f.records[q].dir_x, my = f.records[q].dir_y;
                if (t > sx * mx + sy * my) continue;
                used[q] = 1;
                region.push_back(q);
                sx = sx + mx;
                sy = sy + my;
                t = std::hypot(sx, sy) * c;
            }
    }
    return std::atan2(sy, sx);
}

TEST(GrowRegion, SameDecisionsAsOneHypotPerAcceptedPixel) {
    // Directions scattered around the tolerance, so that many tests fall near
    // the threshold; a few opposite and NaN directions among them.
    std::mt19937 rng(3);
    std::normal_distribution<double> spread(0.0, 0.4);
    for (double tolerance : {angle_tolerance, 0.05, 1.7, 0.0}) {
        Scene s(60, 40);
        for (std::size_t y = 0; y < 40; ++y)
            for (std::size_t x = 0; x < 60; ++x) s.set(x, y, 0.7 + spread(rng));
        s.field.records[s.index(30, 20)] = {50, std::nanf(""), 0};
        s.field.records[s.index(31, 20)] = {50, -1, 0};
        Scene t = s;
        Region a, b;
        for (std::uint32_t seed = 0; seed < 60 * 40; seed += 97) {
            if (s.used[seed]) continue;
            const double angle = grow_region(seed, tolerance, s.field, s.used, a).angle();
            ASSERT_EQ(std::bit_cast<std::uint64_t>(angle),
                      std::bit_cast<std::uint64_t>(textbook_growth(seed, tolerance, t.field, t.used, b)));
            ASSERT_EQ(a, b);
        }
        EXPECT_TRUE(s.used == t.used);
    }
}

}  // namespace
}  // namespace trelvane
