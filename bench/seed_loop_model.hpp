// A model of the parallel seed loop on more threads than the machine has,
// replayed from a recorded sequential run (trace_seed_loop): its seed order,
// what each growth read and wrote (4 × 4-pixel tiles) and what it cost.
//
// The committer walks the blocks in order. A block no speculator has
// finished it grows itself, at the recorded cost; of a finished one it keeps
// the growths the loop's own keep rule (keep_rule.hpp) keeps, at the cost of
// marking their regions, and grows the others itself. Speculators claim
// blocks in the speculation window ahead of the committer's, and grow them
// at speculative_cost times the recorded cost. Left out: rectangle
// validation (fully parallel, on any thread), growths of seeds taken by
// their turn, and the cache lines the threads trade, which on the 2-core
// machine eat much of what the second thread brings.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "detector/seed_loop.hpp"

namespace trelvane {

struct ModelledLoop {
    double speedup;           // the modelled sequential loop's seconds over the parallel one's
    double regrown_fraction;  // of the grown seeds, those grown again by the committer
};

// A growth through the speculative view of the mask costs this many times
// one at its turn (measured single-threaded on the 2-core AMD EPYC: the
// speculative view's pixel set and footprint).
inline constexpr double speculative_cost = 1.3;

inline ModelledLoop model_parallel_loop(const SeedLoopTrace& trace, std::size_t threads) {
    double sequential = 0;
    for (const SeedTrace& s : trace.seeds) sequential += s.growth_seconds;
    if (threads < 2 || trace.seeds.empty() || sequential <= 0) return {1, 0};

    const std::size_t blocks = (trace.positions + block_positions - 1) / block_positions;
    std::vector<std::size_t> first(blocks + 1, trace.seeds.size());  // the first seed of each block
    for (std::size_t k = trace.seeds.size(); k-- > 0;) first[trace.seeds[k].position / block_positions] = k;
    for (std::size_t b = blocks; b-- > 0;) first[b] = std::min(first[b], first[b + 1]);

    struct Claim {
        bool claimed = false;
        double start = 0, end = 0;
        std::uint32_t since = 0;  // blocks committed when it started
    };
    std::vector<Claim> claims(blocks);
    const SpeculationWindow window = speculation_window(trace.positions);
    std::vector<double> speculator_free(threads - 1, 0.0), block_start(blocks, 0.0);
    std::size_t cursor = 0, regrown = 0;
    double now = 0;
    KeepRule rule(trace.tiles);
    for (std::size_t b = 0; b < blocks; ++b) {
        block_start[b] = now;
        // Speculators free by now claim the blocks ahead, each once the window reached it.
        for (;;) {
            auto j = std::min_element(speculator_free.begin(), speculator_free.end());
            cursor = std::max(cursor, b + window.lead);
            if (*j > now || cursor >= std::min(blocks, b + window.end)) break;
            Claim& c = claims[cursor];
            c.claimed = true;
            c.start = std::max(*j, block_start[cursor + 1 >= window.end ? cursor + 1 - window.end : 0]);
            // The commits finished by then: those of the blocks that began at or before it, but block b.
            c.since = static_cast<std::uint32_t>(
                std::upper_bound(block_start.begin(), block_start.begin() + static_cast<std::ptrdiff_t>(b + 1), c.start) -
                block_start.begin() - 1);
            c.end = c.start;
            for (std::size_t k = first[cursor]; k < first[cursor + 1]; ++k)
                c.end += trace.seeds[k].growth_seconds * speculative_cost;
            *j = c.end;
            ++cursor;
        }
        // A speculation still running is not waited for: the committer grows
        // other seeds meanwhile, which this replays as growing the block itself.
        const bool speculated = claims[b].claimed && claims[b].end <= now;
        if (speculated) rule.open_block(trace.reads, first[b], first[b + 1], claims[b].since);
        for (std::size_t k = first[b]; k < first[b + 1]; ++k) {
            const bool kept = speculated && rule.keeps(k, trace.reads.of(k));
            if (speculated && !kept) ++regrown;
            for (std::uint32_t t : trace.writes.of(k)) kept ? rule.wrote(t) : rule.grew(t);
            now += kept ? trace.seeds[k].mark_seconds : trace.seeds[k].growth_seconds;
        }
        rule.finish_commit();
    }
    return {sequential / now, static_cast<double>(regrown) / static_cast<double>(trace.seeds.size())};
}

}  // namespace trelvane
