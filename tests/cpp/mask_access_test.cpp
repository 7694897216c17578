// The views of the used mask and the keep rule that the parallel seed loop
// relies on: a speculation's footprint must cover every byte its growth
// reads, the committer's stamps every byte it writes, or a change would go
// unnoticed and a stale growth be kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "detector/front_end.hpp"
#include "detector/grow_region-inl.hpp"
#include "detector/keep_rule.hpp"
#include "detector/mask_access.hpp"
#include "detector/pseudo_order.hpp"
#include "detector/refine_region-inl.hpp"
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
    GrowthTiles footprints;
    SpeculativeMask mask(used, held, footprints, tiles, w, h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            footprints.clear();
            mask.visit(x, y);
            const auto footprint = footprints.current();
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
    GrowthTiles footprints;
    SpeculativeMask mask(used, held, footprints, tiles, 5, 4);
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
    GrowthTiles footprints;
    SpeculativeMask mask(used, held, footprints, tiles, 8, 8);
    mask.visit(1, 1);
    footprints.end_growth();
    mask.visit(1, 1);
    footprints.end_growth();
    EXPECT_EQ(std::vector<std::uint32_t>(footprints.of(1).begin(), footprints.of(1).end()),
              std::vector<std::uint32_t>{tiles.at(1, 1)});
}

// A growth's tiles, noted over and over in an order whose tiles share and
// evict the slots of the table of recent tiles: every tile is named, and
// none of the growth before leaks into the next.
class RecentTiles : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RecentTiles, EveryTileNotedIsNamed) {
    const std::uint32_t stride = GetParam();
    GrowthTiles footprints;
    std::vector<std::uint32_t> noted;
    for (std::uint32_t i = 0; i < 300; ++i) noted.push_back(i % 70 * stride + i % 3);
    for (std::uint32_t t : noted) footprints.note(t);
    footprints.end_growth();
    footprints.note(noted.back());
    footprints.end_growth();
    const auto first = footprints.of(0);
    for (std::uint32_t t : noted) ASSERT_NE(std::find(first.begin(), first.end(), t), first.end()) << t;
    EXPECT_EQ(footprints.of(1).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Strides, RecentTiles, ::testing::Values(1u, 32u, 33u, 64u));

// One growth of a speculated block, reading tile 0, against what commits
// did to that tile: before it started, after, or in the commit under way.
enum class Change { before_start, after_start, kept_here, grown_here, given_up_here };
const char* const change_names[] = {"before_start", "after_start", "kept_here", "grown_here", "given_up_here"};
class Keep : public ::testing::TestWithParam<std::pair<Change, bool>> {};

TEST_P(Keep, DependsOnWhatTheTilesSawSinceTheGrowthStarted) {
    const auto [change, kept] = GetParam();
    KeepRule rule(4);
    const std::uint32_t tile = 0;
    rule.wrote(tile);
    rule.finish_commit();  // commit 1: before the growth
    const std::uint32_t since = rule.finished();
    rule.wrote(1);
    if (change == Change::after_start) rule.grew(tile);
    rule.finish_commit();  // commit 2: after it started
    GrowthTiles footprints;
    footprints.note(2);
    footprints.end_growth();  // an earlier growth of the block
    footprints.note(tile);
    footprints.end_growth();
    rule.open_block(footprints, 0, 2, since);  // commit 3, this block's
    EXPECT_TRUE(rule.keeps(0, footprints.of(0)));
    if (change == Change::kept_here) rule.wrote(tile);
    if (change == Change::grown_here) rule.grew(tile);
    if (change == Change::given_up_here) rule.gave_up(tile);
    EXPECT_EQ(rule.keeps(1, footprints.of(1)), kept);
}

INSTANTIATE_TEST_SUITE_P(Changes, Keep,
                         ::testing::Values(std::pair{Change::before_start, true},
                                           std::pair{Change::after_start, false},
                                           std::pair{Change::kept_here, true},
                                           std::pair{Change::grown_here, false},
                                           std::pair{Change::given_up_here, false}),
                         [](const auto& info) { return std::string(change_names[int(info.param.first)]); });

// Forwards to the view it wraps and records every byte read and written.
template <MaskView Inner>
class RecordingMask {
public:
    explicit RecordingMask(Inner& inner) : inner_(inner) {}
    std::size_t size() const { return inner_.size(); }
    bool taken(std::size_t q) const {
        reads.push_back(q);
        return inner_.taken(q);
    }
    void take(std::size_t q) { writes.push_back(q), inner_.take(q); }
    void release(std::size_t q) { writes.push_back(q), inner_.release(q); }
    void visit(std::size_t x, std::size_t y) { inner_.visit(x, y); }

    mutable std::vector<std::size_t> reads;
    std::vector<std::size_t> writes;

private:
    Inner& inner_;
};

// Growth and refinement on every seed of a scene, in order, through a
// recording view over the committer's view (StampedMask) and over a
// speculator's: each growth's writes lie in tiles it stamped, its reads in
// its footprint.
struct Contract {
    std::vector<double> image;
    FrontEnd fe;
    FilledLater<std::uint32_t> seeds;
    TileGrid tiles;
    PixelGrid grid;
    Region region;
    Rect rect;
    std::size_t refined = 0;  // growths refinement regrew or shrank: what writes outside the first growth

    explicit Contract(std::size_t side)
        : image(scene(side)), fe(fused_front_end(std::span<const double>(image), side, side, 1.0)),
          seeds(order_seeds(fe.blocks)), tiles(side), grid(side) {}

    // Noise over thin lines at three angles: regions that need refining.
    static std::vector<double> scene(std::size_t side) {
        std::mt19937 rng(7);
        std::uniform_real_distribution<double> noise(0, 60);
        std::vector<double> img(side * side);
        for (std::size_t y = 0; y < side; ++y)
            for (std::size_t x = 0; x < side; ++x)
                img[y * side + x] = noise(rng) + (y % 19 == 4 || x % 13 == 2 || (x + 2 * y) % 31 == 0 ? 120 : 0);
        return img;
    }

    // Calls check(recording view) after each growth through a view over inner.
    template <MaskView Inner, class Check>
    void grow_all(Inner& inner, Check&& check) {
        const SeedRun run(fe.field, fe.used, seeds);
        RecordingMask recording(inner);
        for (std::uint32_t seed : seeds) {
            if (inner.taken(seed)) continue;
            recording.reads.clear(), recording.writes.clear();
            const SeedFate fate = process_seed(seed, run, recording, region, rect);
            if (fate != SeedFate::small && std::count(recording.writes.begin(), recording.writes.end(), seed) > 1)
                ++refined;
            check(recording);
        }
    }
};

class ViewContract : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ViewContract, TheCommitterStampsEveryByteItWrites) {
    Contract c(GetParam());
    KeepRule rule(c.tiles.count(GetParam()));
    StampedMask stamped(c.fe.used, rule, c.tiles);
    c.grow_all(stamped, [&](const auto& recording) {
        for (std::size_t q : recording.writes) {
            const std::uint32_t t = c.tiles.of(static_cast<std::uint32_t>(q), c.grid);
            ASSERT_TRUE(rule.grown_again({&t, 1})) << "pixel " << q << " written, its tile not stamped";
        }
        rule.finish_commit();
    });
    EXPECT_GT(c.refined, 0u);
}

TEST_P(ViewContract, ASpeculationsFootprintHoldsEveryByteItReads) {
    Contract c(GetParam());
    PixelSet held(c.fe.used.size());
    GrowthTiles footprints;
    SpeculativeMask speculative(c.fe.used, held, footprints, c.tiles, GetParam(), GetParam());
    c.grow_all(speculative, [&](const auto& recording) {
        const auto footprint = footprints.current();
        for (std::size_t q : recording.reads) {
            const std::uint32_t t = c.tiles.of(static_cast<std::uint32_t>(q), c.grid);
            ASSERT_NE(std::find(footprint.begin(), footprint.end(), t), footprint.end())
                << "pixel " << q << " read, its tile not in the footprint";
        }
        footprints.end_growth();
        for (std::uint32_t q : c.region) c.fe.used[q] = 1, held.erase(q);  // committed as the trace does
    });
    EXPECT_GT(c.refined, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sides, ViewContract, ::testing::Values(std::size_t{61}, std::size_t{160}),
                         [](const auto& info) { return param_name(info.param, 'x', info.param); });

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
