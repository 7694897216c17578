// The model of the parallel seed loop (bench/seed_loop_model.hpp) on made-up
// recordings. Whatever the threads, it can beat neither the longest chain of
// dependent growths nor the sequential loop shared out over its threads: a
// model that keeps or renews a growth before those it depends on are
// committed, or loses work, breaks one of the two.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "../../bench/seed_loop_model.hpp"
#include "param_names.hpp"

namespace trelvane {
namespace {

// `growths` growths, a few to a block, with costs of the recorded loop's
// proportions; each depends on up to two of the `reach` growths before it
// (reach 1: a chain, each on the one before).
SeedLoopTrace made_up(std::size_t growths, std::size_t reach) {
    std::mt19937 rng(static_cast<unsigned>(growths + reach));
    std::uniform_real_distribution<double> growth(1e-6, 1e-4);
    SeedLoopTrace trace{growths * 20, {}, {}};
    for (std::size_t k = 0; k < growths; ++k) {
        const double g = growth(rng);
        trace.seeds.push_back({k * 20, 1e-7, g, 1.4 * g, 0.1 * g, k % 3 ? 0.0 : 0.5 * g});
        if (reach == 1 && k > 0) trace.depends_on.note(static_cast<std::uint32_t>(k - 1));
        if (reach > 1)
            for (int d = 0; d < 2 && k > 0; ++d)
                trace.depends_on.note(static_cast<std::uint32_t>(k - 1 - rng() % std::min(reach, k)));
        trace.depends_on.end_growth();
    }
    return trace;
}

using ModelCase = std::tuple<std::size_t, std::size_t>;  // growths, reach
class SeedLoopModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(SeedLoopModel, BeatsNeitherTheLongestChainNorItsThreads) {
    const auto [growths, reach] = GetParam();
    const SeedLoopTrace trace = made_up(growths, reach);
    const double floor = sequential_seconds(trace) / critical_path_seconds(trace);
    for (std::size_t threads : {2, 3, 8, 16, 64}) {
        const ModelledLoop m = model_parallel_loop(trace, threads, 1.0);
        EXPECT_LE(m.speedup, floor * (1 + 1e-9)) << threads;
        EXPECT_LE(m.speedup, static_cast<double>(threads) * (1 + 1e-9)) << threads;
        EXPECT_GE(m.speedup, 0.5) << threads;
        if (reach == 0) {
            EXPECT_EQ(m.regrown_fraction, 0.0) << threads;  // nothing to collide with
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Traces, SeedLoopModel,
                         ::testing::Combine(::testing::Values(std::size_t{300}, std::size_t{20000}),
                                            ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{40},
                                                              std::size_t{4000})),
                         [](const auto& info) {
                             return param_name(std::get<0>(info.param), "_growths_reach", std::get<1>(info.param));
                         });

}  // namespace
}  // namespace trelvane
