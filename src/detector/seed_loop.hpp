// The seed loop: a region grown, fitted and refined from every seed still
// free, in seed order; each dense candidate validated by rectangle
// improvement. Its only shared state is the used mask.
//
// The sequential loop (detect_segments.cpp) is the reference. The parallel
// loop gives the same candidates in the same order on every thread the pool
// lends: speculators grow blocks of seeds ahead of their turn against the
// mask as it stands, without writing it, logging the pixels they took and
// those they found taken (but not settled); one committer takes the blocks
// in order, alone writes the mask, and keeps a speculated growth whose
// logged pixels are at its turn as they were read, growing the others
// itself. Idle speculators grow again the growths that later commits have
// doomed. Why a kept growth is the sequential one: keep_rule.hpp.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "grow_region.hpp"
#include "keep_rule.hpp"
#include "mask_access.hpp"
#include "records.hpp"
#include "refine_region.hpp"
#include "region_to_rect.hpp"
#include "shared.hpp"

namespace trelvane {

inline constexpr double log10_11 = 1.0413926851582251;
inline constexpr double log10_8 = 0.9030899869919435;  // −log10 of the aligned probability 0.125

// The run's sizes and thresholds.
struct RunConstants {
    double log_nt;
    std::uint64_t min_region_size;

    explicit RunConstants(const GradientField& field)
        : log_nt(2.5 * (std::log10(static_cast<double>(field.width)) + std::log10(static_cast<double>(field.height))) +
                 log10_11),
          min_region_size(saturating_u64(std::ceil(log_nt / log10_8))) {}
};

// One call's seed loop: the field, its used mask, the seeds in order and
// the run's constants, made once for the call.
struct SeedRun {
    const GradientField& field;
    UsedMask& used;
    std::span<const std::uint32_t> seeds;
    RunConstants constants;

    SeedRun(const GradientField& f, UsedMask& u, std::span<const std::uint32_t> s)
        : field(f), used(u), seeds(s), constants(f) {}
};

// What became of a seed grown.
enum class SeedFate : std::uint8_t {
    small,   // region below the minimal size: its pixels stay used
    sparse,  // refinement rejected the candidate
    dense,   // a candidate for validation
};

// Grows, fits and refines the region of the free seed `seed` on the mask
// view `mask`; rect holds the candidate when the fate is dense. The pixels
// marked in the mask afterwards are exactly those left in region.
template <MaskView Mask>
SeedFate process_seed(std::uint32_t seed, const SeedRun& run, Mask& mask, Region& region, Rect& rect) {
    const DirectionSum sum = grow_region(seed, angle_tolerance, run.field, mask, region);
    if (region.size() < run.constants.min_region_size) return SeedFate::small;
    rect = region_to_rect(region, run.field, sum.angle(), aligned_probability);
    return refine_region(region, rect, mask, run.field, run.constants.min_region_size) ? SeedFate::dense
                                                                                        : SeedFate::sparse;
}

// Seeds lie scattered over the image and most are already taken when their
// turn comes. Far ahead of seed position i, fetch a seed's mask byte; nearer,
// when that byte says free, fetch the three record rows its growth starts
// on. Only hints: the byte may change before the seed's turn (it is read
// as the speculators read the mask).
void prefetch_ahead(std::span<const std::uint32_t> seeds, std::size_t i, const GradientField& field,
                    const UsedMask& used);

// Every walk over the seed list: grows, in order, each seed at positions
// [from, to) that `mask` finds free, then calls grown(position, fate), with
// region and rect holding what the growth left.
template <MaskView Mask, class Grown>
void walk_seeds(const SeedRun& run, std::size_t from, std::size_t to, Mask& mask, Region& region, Rect& rect,
                Grown&& grown) {
    for (std::size_t i = from; i < to; ++i) {
        prefetch_ahead(run.seeds, i, run.field, run.used);
        if (seed_taken(mask, i, run.seeds[i])) continue;  // most seeds
        grown(i, process_seed(run.seeds[i], run, mask, region, rect));
    }
}

// A refined candidate; after validation, its improved rectangle and score.
struct Candidate {
    Rect rect;
    double log_nfa;
};

Candidate validate(const Rect& rect, const GradientField& field, const RunConstants& run);

// Candidates validated while the seed loop goes on. Rectangle improvement
// reads only the field (never written during the loop) and its own
// rectangle, never the used mask, so it can run on another thread; each
// result goes back to its candidate's slot, which keeps seed order.
class ValidationQueue {
public:
    ValidationQueue(const GradientField& field, const RunConstants& run) : field_(field), run_(run) {}

    void push(const Rect& rect);
    // No more candidates will come.
    void close();
    // Validates queued candidates until the queue is closed and drained.
    void work();
    // Validates one queued candidate if there is one; false when there was none.
    bool work_one();
    // Every candidate in seed order; only once work() has returned everywhere.
    const std::vector<Candidate>& results() const { return items_; }

private:
    // Validates item i, taken under the lock that `lock` holds, and stores it.
    void validate_taken(std::unique_lock<std::mutex>& lock);

    static constexpr std::size_t wake_batch = 8;
    const GradientField& field_;
    const RunConstants& run_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Candidate> items_;
    std::size_t taken_ = 0;
    std::atomic<std::size_t> waiting_{0};  // items_.size() - taken_, for a look without the lock
    bool closed_ = false;
};

// Seeds are speculated a block of positions at a time: a thread claims a
// block, grows its seeds in order as the sequential loop would (each region
// taken, for the seeds after it, as if committed) and hands the block over
// at once, so that threads exchange a few cache lines per block, not per
// seed. Most positions hold seeds taken by their turn: a block holds a few
// growths.
inline constexpr std::size_t block_positions = 64;
// Where speculators grow, in blocks ahead of the committer's: from `lead` to
// before `end`. Seeds close in the order lie in neighbouring rows: a
// speculator right behind the committer reads the very cache lines of the
// mask that the committer writes, and both wait on each other's caches;
// hence the lead. A window that spans much of the seed list spans much of
// the image, where the committer's growths meanwhile take what the
// speculations read. On the camera photo at 2048², a window of blocks 2 to
// 40 ahead kept more growths than this one but made the loop 13 % slower on
// two threads. So the window is 1/256 of the list, at most 64 blocks, with
// the lead 3/8 of it.
//
// More threads than two have idle time that renews stale speculations
// (renew_doomed in seed_loop.cpp), and more speculators each need a block:
// the window then reaches a quarter of the threads times as far, and the
// lead starts at one block and grows with the committer's, so that the
// first blocks, which hold the largest regions (the strongest seeds come
// first), are not all left to the committer. With one speculator neither
// pays: it has no time to renew what it grew stale.
struct SpeculationWindow {
    std::size_t lead, end;
    bool ramp;  // the lead grows from one block
    // The first block to claim with the committer at block `committed`.
    std::size_t from(std::size_t committed) const {
        return committed + (ramp ? std::min(lead, committed + 1) : lead);
    }
};
inline SpeculationWindow speculation_window(std::size_t seeds, std::size_t threads) {
    const std::size_t base = std::clamp<std::size_t>(seeds / (256 * block_positions), 2, 64);
    return {std::max<std::size_t>(base * 3 / 8, 1), base * std::max<std::size_t>(threads / 4, 1), threads > 2};
}

// What the parallel loop did with the seeds it grew, for the tests and the benchmark.
struct SpeculationCounts {
    std::size_t kept = 0;     // grown ahead of their turn and committed as grown
    std::size_t regrown = 0;  // grown ahead, then not kept (keep_rule.hpp): grown again at their turn
    std::size_t own = 0;      // grown by the committer at their turn
    std::size_t rechecked = 0;  // skipped ahead as taken but not settled: looked at again at their turn
    std::size_t renewed = 0;    // blocks grown ahead again once a growth of theirs was doomed
};

// What a test or the benchmark sees of the parallel seed loop, and the
// hooks with which a test steers it.
struct SeedLoopProbe {
    SpeculationCounts counts;  // filled as the loop ends, also when it throws
    // When not 0, the committer grows block b + speculate_ahead into a
    // speculation of its own just before it commits block b: a speculation
    // started against an older mask, whatever the scheduler does. It renews
    // its doomed speculations first, as an idle speculator does.
    std::size_t speculate_ahead = 0;
    // Called after every growth with its seed position and whether it was
    // grown ahead of its turn; may throw.
    std::function<void(std::size_t position, bool speculative)> after_growth;
};

// The seed loop on every thread the pool lends, each dense candidate pushed
// to queue in seed order; loop_done() is called as the last seed is
// committed, and the queue is then drained by every thread. Leaves the mask
// as the sequential loop does.
void parallel_seed_loop(const SeedRun& run, ValidationQueue& queue, WorkerPool& pool, SeedLoopProbe* probe,
                        const std::function<void()>& loop_done);

// The sequential seed loop recorded for a model of the parallel one, in two
// passes: for every seed grown, its position; at its turn, as the committer
// grows it, the seconds spent walking past the taken seeds before it, on its
// growth and on validating its candidate (0 unless dense); through a
// speculative view of the mask, the seconds of the walk and growth together
// and of checking and marking its region as the committer keeps it; growth
// by growth, the earlier growths whose pixels it found taken (those it
// depends on).
struct SeedTrace {
    std::size_t position;
    double walk_seconds, growth_seconds, speculative_seconds, mark_seconds, validation_seconds;
};
struct SeedLoopTrace {
    std::size_t positions = 0;
    std::vector<SeedTrace> seeds;
    GrowthLog depends_on;  // growth k's: indices into seeds
};
SeedLoopTrace trace_seed_loop(const SeedRun& run);

}  // namespace trelvane
