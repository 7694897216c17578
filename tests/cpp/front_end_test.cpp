// The fused front end and the parallel ordering against the plain stage
// functions, and the fused detector (with its parallel seed loop) against
// the reference pipeline: bit for bit, with one and with several workers, for
// every sample type.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "detector/detect_segments_hooks.hpp"
#include "detector/front_end.hpp"
#include "detector/large_buffer_cache.hpp"
#include "detector/pseudo_order.hpp"
#include "param_names.hpp"

namespace trelvane {
namespace {

enum class Scene { noise, bars, constant, specials, huge, tiny };
const char* const scene_names[] = {"noise", "bars", "constant", "specials", "huge", "tiny"};

// Values in 0 ... 255 (scaled for huge and tiny), row-major.
std::vector<double> scene(Scene kind, std::size_t w, std::size_t h) {
    std::mt19937 rng(static_cast<unsigned>(w * 977 + h));
    std::uniform_real_distribution<double> value(0, 255);
    std::vector<double> img(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            double& v = img[y * w + x];
            switch (kind) {
            case Scene::constant: v = 77; break;
            case Scene::bars:  // thin lines at three angles over a soft ramp
                v = 0.3 * static_cast<double>(x) + (y % 23 == 5 ? 200 : 0) + (x % 17 == 3 ? 150 : 0) +
                    ((x + 2 * y) % 41 == 0 ? 120 : 0);
                break;
            default: v = value(rng); break;
            }
        }
    if (kind == Scene::specials)
        for (std::size_t i = 0; i < img.size(); i += 37)
            img[i] = i % 3 == 0 ? std::nan("") : (i % 3 == 1 ? INFINITY : -INFINITY);
    if (kind == Scene::huge)
        for (double& v : img) v *= 1e300;
    if (kind == Scene::tiny)
        for (double& v : img) v *= 1e-300;
    return img;
}

template <class T>
std::vector<T> as_samples(const std::vector<double>& values) {
    std::vector<T> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        if constexpr (std::is_same_v<T, std::uint8_t>)
            out[i] = static_cast<T>(std::round(std::fmin(std::fmax(values[i], 0), 255)));
        else if constexpr (std::is_same_v<T, std::uint16_t>)  // the full 16-bit resolution
            out[i] = static_cast<T>(std::round(std::fmin(std::fmax(values[i], 0), 255) * 257));
        else
            out[i] = static_cast<T>(values[i]);
    }
    return out;
}

// Strong records bit for bit; weak ones (magnitude <= rho) only as weak, the
// one thing any later stage reads from them.
void expect_same_front_end(const FrontEnd& fused, const FrontEnd& plain) {
    ASSERT_EQ(fused.field.width, plain.field.width);
    ASSERT_EQ(fused.field.height, plain.field.height);
    ASSERT_EQ(fused.field.records.size(), plain.field.records.size());
    for (std::size_t i = 0; i < plain.field.records.size(); ++i) {
        const GradientRecord& a = fused.field.records[i];
        const GradientRecord& b = plain.field.records[i];
        if (b.magnitude <= rho) {
            ASSERT_LE(a.magnitude, rho) << i;
        } else {
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << i;
        }
    }
    EXPECT_TRUE(fused.used == plain.used);
}

void expect_same_segments(const Checked<std::vector<Segment>>& a, const Checked<std::vector<Segment>>& b) {
    const auto& x = std::get<std::vector<Segment>>(a);
    const auto& y = std::get<std::vector<Segment>>(b);
    ASSERT_EQ(x.size(), y.size());
    if (!x.empty()) {
        EXPECT_EQ(std::memcmp(x.data(), y.data(), x.size() * sizeof(Segment)), 0);
    }
}

// A probe that has the committer speculate `blocks` ahead itself.
SeedLoopProbe speculating_ahead(std::size_t blocks) {
    SeedLoopProbe probe;
    probe.speculate_ahead = blocks;
    return probe;
}

// Pools of 1 (the calling thread alone), 2, 3 and 8 threads, made once.
std::span<WorkerPool* const> pools() {
    static WorkerPool alone(0), two(2), three(3), eight(8);
    static WorkerPool* const all[] = {&alone, &two, &three, &eight};
    return all;
}

using Size = std::pair<std::size_t, std::size_t>;
using Param = std::tuple<Scene, Size, double>;
class FusedPath : public ::testing::TestWithParam<Param> {};

template <class T>
void compare(const std::vector<double>& values, std::size_t w, std::size_t h, double scale) {
    SCOPED_TRACE(sizeof(T));
    const std::vector<T> samples = as_samples<T>(values);
    const std::span<const T> view(samples);
    WorkerPool alone(0), many(3);
    const ImageSize size = working_size(w, h, scale);
    if (size.width >= 3 && size.height >= 3) {
        const FrontEnd plain = reference_front_end(view, w, h, scale, alone);
        const std::vector<std::uint32_t> seeds = pseudo_order(plain.field, rho);
        for (WorkerPool* pool : {&alone, &many}) {
            for (const IsaLevel level : {IsaLevel::Baseline, IsaLevel::Avx2, IsaLevel::Avx512}) {
                SCOPED_TRACE(static_cast<int>(level));  // lowered to what the CPU runs
                expect_same_front_end(fused_front_end(view, w, h, scale, *pool, level), plain);
            }
            const FrontEnd fused = fused_front_end(view, w, h, scale, *pool);
            const FilledLater<std::uint32_t> ordered = order_seeds(fused.blocks, *pool);
            EXPECT_TRUE(std::equal(ordered.begin(), ordered.end(), seeds.begin(), seeds.end()));
        }
    }
    const auto reference = run_pipeline(Pipeline::reference, view, w, h, scale, nullptr, alone);
    for (WorkerPool* pool : pools()) {
        SCOPED_TRACE(pool->workers());
        expect_same_segments(detect_segments(view, w, h, scale, *pool), reference);
        expect_same_segments(run_pipeline(Pipeline::parallel, view, w, h, scale, nullptr, *pool), reference);
    }
    // Every block speculated before the one ahead of it is committed.
    SeedLoopProbe stale = speculating_ahead(1);
    expect_same_segments(run_pipeline(Pipeline::parallel, view, w, h, scale, nullptr, alone, &stale), reference);
}

TEST_P(FusedPath, SameAsThePlainStages) {
    const auto [kind, size, scale] = GetParam();
    const auto [w, h] = size;
    const std::vector<double> values = scene(kind, w, h);
    compare<double>(values, w, h, scale);
    compare<float>(values, w, h, scale);
    if (kind == Scene::specials || kind == Scene::huge || kind == Scene::tiny) return;  // not representable
    compare<std::uint8_t>(values, w, h, scale);
    compare<std::uint16_t>(values, w, h, scale);
}

// Such as bars_131x77_scale0_3.
std::string case_name(const ::testing::TestParamInfo<Param>& info) {
    const auto [kind, size, scale] = info.param;
    return param_name(scene_names[int(kind)], '_', size.first, 'x', size.second, "_scale", scale);
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, FusedPath,
    ::testing::Combine(::testing::Values(Scene::noise, Scene::bars, Scene::constant, Scene::specials, Scene::huge,
                                         Scene::tiny),
                       ::testing::Values(Size{3, 3}, Size{100, 4}, Size{5, 100}, Size{131, 77}, Size{203, 190}),
                       ::testing::Values(0.1, 0.3, 0.5, 0.8, 1.0, 2.0)),
    case_name);

// Thin vertical lines: the two edges of a line have the same gradient
// magnitude, so their seeds come one after the other in the order (same bin,
// neighbouring columns of one row), and the growth of either reads the
// other's pixels. Across them, a few horizontal ones, whose edges' seeds
// follow each other along a row: the first growth takes the next seeds.
std::vector<std::uint8_t> thin_lines(std::size_t w, std::size_t h) {
    std::vector<std::uint8_t> img(w * h, 20);
    for (std::size_t y = 5; y + 5 < h; ++y)
        for (std::size_t x = 6; x + 6 < w; x += 6) img[y * w + x] = 220;
    for (std::size_t y = 40; y + 40 < h; y += 70) std::fill_n(img.begin() + y * w + 20, w - 40, 120);
    return img;
}

// Calls of one size in a row, each on the other image, take the buffers the
// call before kept, with that image's field and mask still in them: noise,
// strong nearly everywhere, and bars on a weak ramp. Each call must give its
// own image's segments.
TEST(KeptBuffers, CarryNothingIntoTheNextCall) {
    const std::size_t w = 720, h = 600;  // a field of 5 MB: a kept buffer
    std::vector<std::vector<std::uint8_t>> images;
    std::vector<Checked<std::vector<Segment>>> references;
    for (const Scene kind : {Scene::noise, Scene::bars}) {
        images.push_back(as_samples<std::uint8_t>(scene(kind, w, h)));
        references.push_back(run_pipeline(Pipeline::reference, std::span<const std::uint8_t>(images.back()), w, h,
                                          1.0, nullptr, *pools().front()));
    }
    for (WorkerPool* pool : pools().first(2))
        for (std::size_t call = 0; call < 4; ++call) {
            SCOPED_TRACE(call);
            const std::span<const std::uint8_t> view(images[call % 2]);
            expect_same_segments(detect_segments(view, w, h, 1.0, *pool), references[call % 2]);
            EXPECT_GT(kept_large_buffer_bytes(), 0u);
        }
}

// A block speculated `ahead` blocks before its turn, by the committer on
// one thread (so the same every run), against a mask that the commits
// before its turn then change: the speculations those commits doom are
// renewed, the growths that still collide with them are grown again, the
// others kept, and the result is the reference's.
class Collisions : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Collisions, GrowthsThatReadALaterCommitAreGrownAgain) {
    const std::size_t w = 600, h = 300;
    const std::vector<std::uint8_t> img = thin_lines(w, h);
    const std::span<const std::uint8_t> view(img);
    WorkerPool& alone = *pools().front();
    const auto reference = run_pipeline(Pipeline::reference, view, w, h, 1.0, nullptr, alone);
    ASSERT_GT(std::get<std::vector<Segment>>(reference).size(), 30u);
    SeedLoopProbe probe = speculating_ahead(GetParam());
    expect_same_segments(run_pipeline(Pipeline::parallel, view, w, h, 1.0, nullptr, alone, &probe), reference);
    EXPECT_GT(probe.counts.regrown, 0u);
    EXPECT_GT(probe.counts.kept, 0u);
    EXPECT_GT(probe.counts.rechecked, 0u);
    EXPECT_GT(probe.counts.renewed, 0u);
    // On every pool, where speculators renew the committer's speculations
    // and their own beside it.
    for (WorkerPool* pool : pools()) {
        SeedLoopProbe beside = speculating_ahead(GetParam());
        expect_same_segments(run_pipeline(Pipeline::parallel, view, w, h, 1.0, nullptr, *pool, &beside), reference);
    }
}

INSTANTIATE_TEST_SUITE_P(Ahead, Collisions, ::testing::Values(std::size_t{4}, std::size_t{8}),
                         [](const auto& info) { return param_name(info.param, "_blocks"); });

// A growth that throws, ahead of its turn or at it, on every pool: the call
// raises that error (the committer grows a failed speculation's block again
// and meets it), no thread is left waiting, and the next call works.
class FailingGrowth : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FailingGrowth, RaisesAndLeavesTheLoopUsable) {
    const std::size_t w = 600, h = 300;
    const std::vector<std::uint8_t> img = thin_lines(w, h);
    const std::span<const std::uint8_t> view(img);
    WorkerPool& pool = *pools()[GetParam()];
    const auto reference = run_pipeline(Pipeline::reference, view, w, h, 1.0, nullptr, pool);
    // A seed grown in the middle of the loop.
    std::vector<std::size_t> grown;
    SeedLoopProbe probe = speculating_ahead(1);
    probe.after_growth = [&](std::size_t position, bool) { grown.push_back(position); };
    run_pipeline(Pipeline::parallel, view, w, h, 1.0, nullptr, *pools().front(), &probe);
    ASSERT_GT(grown.size(), 10u);
    const std::size_t failing = grown[grown.size() / 2];
    bool speculation_failed = false;
    probe.after_growth = [&](std::size_t position, bool speculative) {
        if (position != failing) return;
        speculation_failed |= speculative;
        throw std::length_error("growth failed");
    };
    EXPECT_THROW(run_pipeline(Pipeline::parallel, view, w, h, 1.0, nullptr, pool, &probe), std::length_error);
    if (&pool == pools().front()) {
        EXPECT_TRUE(speculation_failed);  // the committer's own speculation met it first
    }
    expect_same_segments(run_pipeline(Pipeline::parallel, view, w, h, 1.0, nullptr, pool), reference);
}

INSTANTIATE_TEST_SUITE_P(Pools, FailingGrowth, ::testing::Values(std::size_t{0}, std::size_t{1}, std::size_t{3}),
                         [](const auto& info) { return param_name(pools()[info.param]->workers(), "_workers"); });

}  // namespace
}  // namespace trelvane
