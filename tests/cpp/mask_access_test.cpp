// The views of the used mask that the parallel seed loop relies on: a
// speculation's footprint must cover every byte its growth can read, or a
// change there would go unnoticed and a stale growth be kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "detector/mask_access.hpp"
#include "detector/seed_loop.hpp"
#include "param_names.hpp"

namespace trelvane {
namespace {

using Size = std::pair<std::size_t, std::size_t>;
class Footprint : public ::testing::TestWithParam<Size> {};

// Every pixel visited, near tile borders and image edges alike: the tiles
// noted hold the tile of each of its eight neighbours inside the image.
TEST_P(Footprint, CoversTheNeighboursOfEveryVisitedPixel) {
    const auto [w, h] = GetParam();
    UsedMask used(w * h, 0);
    PixelSet held(w * h);
    const TileGrid tiles(w);
    std::vector<std::uint32_t> footprint;
    SpeculativeMask mask(used, held, footprint, tiles, w, h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            footprint.clear();
            mask.visit(x, y);
            for (std::size_t ny = y == 0 ? 0 : y - 1; ny <= y + 1 && ny < h; ++ny)
                for (std::size_t nx = x == 0 ? 0 : x - 1; nx <= x + 1 && nx < w; ++nx)
                    ASSERT_NE(std::find(footprint.begin(), footprint.end(), tiles.at(nx, ny)), footprint.end())
                        << x << ", " << y << ": neighbour " << nx << ", " << ny;
            ASSERT_LE(footprint.size(), 4u);
            for (std::uint32_t t : footprint) ASSERT_LT(t, tiles.count(h));
        }
}

INSTANTIATE_TEST_SUITE_P(Images, Footprint,
                         ::testing::Values(Size{3, 3}, Size{4, 9}, Size{17, 13}, Size{33, 8}),
                         [](const auto& info) { return param_name(info.param.first, 'x', info.param.second); });

// Held pixels read as taken, whatever the shared byte; the shared mask is
// never written.
TEST(SpeculativeMask, HoldsWhatItTakesToItself) {
    UsedMask used(20, 0);
    used[3] = 1;
    PixelSet held(20);
    const TileGrid tiles(5);
    std::vector<std::uint32_t> footprint;
    SpeculativeMask mask(used, held, footprint, tiles, 5, 4);
    mask.take(7);
    EXPECT_TRUE(mask.taken(7) && mask.taken(3));
    EXPECT_FALSE(mask.taken(8));
    mask.release(7);
    EXPECT_FALSE(mask.taken(7));
    EXPECT_EQ(std::count(used.begin(), used.end(), 1), 1);
}

// Growths of one block share a footprint list: the second must name the
// tile the first ended on, or a change there would not make it stale.
TEST(SpeculativeMask, EachGrowthNamesItsOwnTiles) {
    UsedMask used(64, 0);
    PixelSet held(64);
    const TileGrid tiles(8);
    std::vector<std::uint32_t> footprint;
    SpeculativeMask mask(used, held, footprint, tiles, 8, 8);
    mask.visit(1, 1);
    mask.new_growth();
    const std::size_t second = footprint.size();
    mask.visit(1, 1);
    EXPECT_EQ(std::vector<std::uint32_t>(footprint.begin() + second, footprint.end()),
              std::vector<std::uint32_t>{tiles.at(1, 1)});
}

TEST(SpeculationWindow, ASmallPartOfTheSeedListWithTheLeadInside) {
    for (std::size_t seeds : {std::size_t{0}, std::size_t{5000}, std::size_t{1} << 20, std::size_t{1} << 30}) {
        const SpeculationWindow w = speculation_window(seeds);
        EXPECT_GE(w.lead, 1u) << seeds;
        EXPECT_LT(w.lead, w.end) << seeds;
        EXPECT_LE(w.end, 64u) << seeds;
        if (seeds >= (std::size_t{1} << 20)) {
            EXPECT_EQ(w.end, 64u);
        }
    }
}

}  // namespace
}  // namespace trelvane
