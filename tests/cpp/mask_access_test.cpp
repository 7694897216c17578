// The views of the used mask and the keep rule that the parallel seed loop
// relies on: a speculative growth must log every pixel the rule checks, and
// a growth the rule keeps must be the growth of its turn, or a stale growth
// would be kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
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

std::vector<std::uint32_t> entries(std::span<const std::uint32_t> log) { return {log.begin(), log.end()}; }

// Its own pixels and settled ones read as taken and are not logged; held
// pixels of the shared mask and those of earlier growths are; a seed is
// skipped for good when settled and named for a second look otherwise; the
// shared mask is never written.
TEST(LoggedMask, HoldsWhatItTakesAndLogsWhatTheRuleChecks) {
    UsedMask used(20, 0);
    used[2] = settled, used[3] = held;
    PixelSet mine(20), earlier(20);
    earlier.bits().insert(5);
    GrowthLog took, found;
    std::vector<std::size_t> rechecks;
    LoggedMask mask(used, mine, earlier, took, found, rechecks);
    mask.take(7);
    EXPECT_TRUE(mask.taken(7) && mask.taken(2) && mask.taken(3) && mask.taken(5));
    EXPECT_FALSE(mask.taken(8));
    mask.release(7);
    EXPECT_FALSE(mask.taken(7));
    took.end_growth(), found.end_growth();
    EXPECT_EQ(entries(took.of(0)), std::vector<std::uint32_t>{7});
    EXPECT_EQ(entries(found.of(0)), (std::vector<std::uint32_t>{3, 5}));
    for (std::size_t q : {2, 3, 5, 8}) EXPECT_EQ(mask.seed_taken(100 + q, q), q != 8) << q;
    EXPECT_EQ(rechecks, (std::vector<std::size_t>{103, 105}));
    EXPECT_EQ(std::count(used.begin(), used.end(), 0), 18);
}

// A growth's pixels, logged over and over in an order whose pixels share and
// evict the slots of the table of recent entries: every pixel is named, and
// none of the growth before leaks into the next.
class RecentEntries : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RecentEntries, EveryPixelLoggedIsNamed) {
    const std::uint32_t stride = GetParam();
    GrowthLog log;
    std::vector<std::uint32_t> noted;
    for (std::uint32_t i = 0; i < 300; ++i) noted.push_back(i % 70 * stride + i % 3);
    for (std::uint32_t q : noted) log.note(q);
    log.end_growth();
    log.note(noted.back());
    log.end_growth();
    const auto first = log.of(0);
    for (std::uint32_t q : noted) ASSERT_NE(std::find(first.begin(), first.end(), q), first.end()) << q;
    EXPECT_EQ(log.of(1).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Strides, RecentEntries, ::testing::Values(1u, 32u, 33u, 64u));

// Noise over thin lines at three angles: regions that need refining.
std::vector<double> scene(std::size_t side) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(0, 60);
    std::vector<double> img(side * side);
    for (std::size_t y = 0; y < side; ++y)
        for (std::size_t x = 0; x < side; ++x)
            img[y * side + x] = noise(rng) + (y % 19 == 4 || x % 13 == 2 || (x + 2 * y) % 31 == 0 ? 120 : 0);
    return img;
}

// A scene's front end and seed order, ready for a seed loop.
struct SceneRun {
    explicit SceneRun(std::size_t side)
        : image(scene(side)), fe(fused_front_end(std::span<const double>(image), side, side, 1.0)),
          seeds(order_seeds(fe.blocks)), run(fe.field, fe.used, seeds) {}
    SceneRun(const SceneRun&) = delete;  // run refers to the members
    std::vector<double> image;
    FrontEnd fe;
    FilledLater<std::uint32_t> seeds;
    SeedRun run;
};

// Every seed of the scene grown at its turn, and also through a speculative
// view of an older mask: the one `lag` growths before, with a share `flips`
// of its bytes changed: a free one held (by a growth under way, which may
// release it again) or a settled one free (read before it was taken).
// Wherever the keep rule keeps the speculation, it must be the growth of
// the turn: the same fate, region and rectangle.
using KeepCase = std::tuple<std::size_t, std::size_t, double>;  // side, lag, flips
class KeepRule : public ::testing::TestWithParam<KeepCase> {};

TEST_P(KeepRule, AKeptGrowthIsTheGrowthOfItsTurn) {
    const auto [side, lag, flips] = GetParam();
    SceneRun scene_run(side);
    FrontEnd& fe = scene_run.fe;
    const auto& seeds = scene_run.seeds;
    const SeedRun& run = scene_run.run;
    std::deque<UsedMask> history;
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::size_t> pixel(0, fe.used.size() - 1);
    const auto flipped = static_cast<std::size_t>(flips * static_cast<double>(fe.used.size()));
    Region region, speculated;
    Rect rect, speculated_rect;
    std::size_t kept = 0, not_kept = 0;
    DirectMask turn(fe.used);
    for (std::uint32_t seed : seeds) {
        if (turn.taken(seed)) continue;
        history.push_back(fe.used);
        if (history.size() > lag) history.pop_front();
        UsedMask older = history.front();
        for (std::size_t k = 0; k < flipped; ++k) {
            std::uint8_t& byte = older[pixel(rng)];
            byte = byte ? 0 : held;
        }
        PixelSet mine(older.size()), earlier(older.size());
        GrowthLog took, found;
        std::vector<std::size_t> rechecks;
        LoggedMask view(older, mine, earlier, took, found, rechecks);
        const bool grown = !view.taken(seed);
        const SeedFate fate = grown ? process_seed(seed, run, view, speculated, speculated_rect) : SeedFate::small;
        took.end_growth(), found.end_growth();
        const bool keep = grown && still_as_read(fe.used, took.of(0), found.of(0));
        const SeedFate at_turn = process_seed(seed, run, turn, region, rect);
        if (!keep) {
            ++not_kept;
            continue;
        }
        ++kept;
        ASSERT_EQ(fate, at_turn) << "seed " << seed;
        ASSERT_EQ(speculated, region) << "seed " << seed;
        if (fate != SeedFate::small) {
            ASSERT_EQ(std::memcmp(&speculated_rect, &rect, sizeof rect), 0) << "seed " << seed;
        }
    }
    EXPECT_GT(kept, 0u);
    EXPECT_GT(not_kept, 0u);
}

INSTANTIATE_TEST_SUITE_P(Masks, KeepRule,
                         ::testing::Combine(::testing::Values(std::size_t{61}, std::size_t{160}),
                                            ::testing::Values(std::size_t{2}, std::size_t{8}, std::size_t{32}),
                                            ::testing::Values(0.0, 0.02)),
                         [](const auto& info) {
                             const std::size_t side = std::get<0>(info.param);
                             return param_name(side, 'x', side, "_lag", std::get<1>(info.param)) +
                                    (std::get<2>(info.param) > 0 ? "_flipped" : "");
                         });

// The committer's view, checked: refinement releases only pixels its own
// growth holds, and once its region is settled the growth holds nothing, so
// a settled byte never changes. Speculators rely on it to skip settled
// seeds for good and leave settled pixels out of their logs.
class CheckedMask : public SharedMask {
public:
    explicit CheckedMask(UsedMask& used) : SharedMask(used), used_(used) {}
    void take(std::size_t q) { SharedMask::take(q), ++held_; }
    void release(std::size_t q) {
        EXPECT_EQ(used_[q], held) << q;
        SharedMask::release(q), --held_;
    }
    void settle(std::span<const std::uint32_t> region) {
        SharedMask::settle(region);
        held_ -= region.size();
        EXPECT_EQ(held_, 0u);
        EXPECT_TRUE(std::all_of(region.begin(), region.end(), [&](std::uint32_t q) { return used_[q] == settled; }));
    }

private:
    const UsedMask& used_;
    std::size_t held_ = 0;
};

// The sequential loop of a scene through the checked view. Then the
// recorded dependencies, which bound the loop from below (the longest chain
// of them): that holds only if each growth needs nothing but the regions of
// the growths it depends on, so grown on the starting mask with just those
// marked, every growth must be the growth of its turn.
class Dependencies : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Dependencies, EachGrowthNeedsOnlyTheRegionsOfThoseItDependsOn) {
    SceneRun scene_run(GetParam());
    FrontEnd& fe = scene_run.fe;
    const auto& seeds = scene_run.seeds;
    const SeedRun& run = scene_run.run;
    const UsedMask start = fe.used;
    const SeedLoopTrace trace = trace_seed_loop(run);
    fe.used = start;
    CheckedMask turn(fe.used);
    std::vector<Region> regions;
    Region region;
    Rect rect;
    walk_seeds(run, 0, seeds.size(), turn, region, rect, [&](std::size_t, SeedFate) {
        turn.settle(region);
        regions.push_back(region);
    });
    ASSERT_EQ(trace.seeds.size(), regions.size());
    for (std::size_t k = 0; k < regions.size(); ++k) {
        UsedMask used = start;
        for (std::uint32_t j : trace.depends_on.of(k)) {
            ASSERT_LT(j, k);
            for (std::uint32_t q : regions[j]) used[q] = 1;
        }
        DirectMask alone(used);
        process_seed(seeds[trace.seeds[k].position], run, alone, region, rect);
        ASSERT_EQ(region, regions[k]) << "growth " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Scenes, Dependencies, ::testing::Values(std::size_t{61}, std::size_t{160}),
                         [](const auto& info) { return param_name(info.param, 'x', info.param); });

// Speculators claim blocks inside the window and never the committer's own.
TEST(SpeculationWindow, ASmallPartOfTheSeedListWithTheLeadInside) {
    for (std::size_t threads : {1, 2, 16})
        for (std::size_t seeds : {std::size_t{0}, std::size_t{5000}, std::size_t{1} << 20, std::size_t{1} << 30}) {
            const SpeculationWindow w = speculation_window(seeds, threads);
            EXPECT_LE(w.end, 64 * std::max<std::size_t>(threads / 4, 1)) << seeds;
            for (std::size_t committed : {0, 1, 5, 100}) {
                EXPECT_GT(w.from(committed), committed) << seeds;
                EXPECT_LT(w.from(committed), committed + w.end) << seeds;
            }
        }
}

}  // namespace
}  // namespace trelvane
