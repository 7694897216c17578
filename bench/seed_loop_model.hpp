// A model of the parallel seed loop on more threads than the machine has,
// replayed from a recorded sequential run (trace_seed_loop): its seed order,
// what each growth read and wrote (4 × 4-pixel tiles) and what it cost.
//
// The committer walks the blocks in order. A block no speculator has
// finished it grows itself, at the recorded cost; of a finished one it keeps
// each growth, at the cost of marking its region, unless it read a tile that
// an earlier block wrote after the speculation started or that this block
// grew again; those it grows itself. Speculators claim blocks in the speculation window
// ahead of the committer's, and grow them at speculative_cost
// times the recorded cost. Left out: rectangle validation (fully parallel,
// on any thread), the time the skipped seeds take, growths of seeds taken by
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
    };
    std::vector<Claim> claims(blocks);
    const SpeculationWindow window = speculation_window(trace.positions);
    std::vector<double> speculator_free(threads - 1, 0.0), block_start(blocks, 0.0);
    std::size_t cursor = 0, regrown = 0;
    double now = 0;
    // Per tile, when it was last written: by the block under way, and before it.
    struct Written {
        std::size_t block = SIZE_MAX;
        double last = -1, before = -1;
    };
    std::vector<Written> written;
    std::size_t block = 0;
    const auto write = [&](std::size_t from, std::size_t to) {
        for (std::size_t w = from; w < to; ++w) {
            if (trace.writes[w] >= written.size()) written.resize(trace.writes[w] + 1);
            Written& t = written[trace.writes[w]];
            if (t.block != block) t.before = t.last, t.block = block;
            t.last = now;
        }
    };
    // Reads are checked against writes made before the block's commit began.
    const auto read_since = [&](std::size_t from, std::size_t to, double since) {
        for (std::size_t r = from; r < to; ++r) {
            if (trace.reads[r] >= written.size()) continue;
            const Written& t = written[trace.reads[r]];
            if ((t.block == block ? t.before : t.last) > since) return true;
        }
        return false;
    };
    std::vector<std::size_t> regrown_in;  // per tile, 1 + the block whose commit grew it again
    const auto grown_again = [&](std::size_t from, std::size_t to) {
        for (std::size_t r = from; r < to; ++r)
            if (trace.reads[r] < regrown_in.size() && regrown_in[trace.reads[r]] == block + 1) return true;
        return false;
    };
    const auto mark_grown_again = [&](std::size_t from, std::size_t to) {
        for (std::size_t w = from; w < to; ++w) {
            if (trace.writes[w] >= regrown_in.size()) regrown_in.resize(trace.writes[w] + 1, 0);
            regrown_in[trace.writes[w]] = block + 1;
        }
    };
    for (std::size_t b = 0; b < blocks; ++b) {
        block_start[b] = now;
        block = b;
        // Speculators free by now claim the blocks ahead, each once the window reached it.
        for (;;) {
            auto j = std::min_element(speculator_free.begin(), speculator_free.end());
            cursor = std::max(cursor, b + window.lead);
            if (*j > now || cursor >= std::min(blocks, b + window.end)) break;
            Claim& c = claims[cursor];
            c.claimed = true;
            c.start = std::max(*j, block_start[cursor + 1 >= window.end ? cursor + 1 - window.end : 0]);
            c.end = c.start;
            for (std::size_t k = first[cursor]; k < first[cursor + 1]; ++k)
                c.end += trace.seeds[k].growth_seconds * speculative_cost;
            *j = c.end;
            ++cursor;
        }
        // A speculation still running is not waited for: the committer grows
        // other seeds meanwhile, which this replays as growing the block itself.
        const bool speculated = claims[b].claimed && claims[b].end <= now;
        for (std::size_t k = first[b]; k < first[b + 1]; ++k) {
            const SeedTrace& s = trace.seeds[k];
            const std::size_t reads_start = k ? trace.seeds[k - 1].reads_end : 0;
            const std::size_t writes_start = k ? trace.seeds[k - 1].writes_end : 0;
            // Stale: it read a tile written by an earlier block since its block
            // started, or grown again in this one.
            const bool kept = speculated && !read_since(reads_start, s.reads_end, claims[b].start) &&
                              !grown_again(reads_start, s.reads_end);
            if (speculated && !kept) ++regrown;
            if (!kept) mark_grown_again(writes_start, s.writes_end);
            now += kept ? s.mark_seconds : s.growth_seconds;
            write(writes_start, s.writes_end);
        }

    }
    return {sequential / now, static_cast<double>(regrown) / static_cast<double>(trace.seeds.size())};
}

}  // namespace trelvane
