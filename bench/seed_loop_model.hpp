// A model of the parallel seed loop on more threads than the machine has,
// replayed from a recorded sequential run (trace_seed_loop): its seed order,
// the earlier growths whose pixels each growth found taken (those it depends
// on) and what each step cost, all measured in the same run. No cost is
// guessed: the committer's steps cost what they cost at their turn (walk,
// growth, checking and marking a kept region), a speculator's growth what it
// cost through the speculative view, a validation what it cost; on two
// threads or more each cost is multiplied by `beside`, the slow-down of a
// thread while another grows beside it (measured by
// bench/seed_loop_interference.cpp).
//
// The committer walks the blocks in order. A block no speculator has
// claimed it walks and grows itself; of a speculated one it keeps each
// growth whose dependencies were all committed when the view it was grown
// on was read (its speculation's start, or its renewal's), or kept before
// it in its block, paying for the check and the marking, and grows the
// others itself, without the walk past the taken seeds (the seeds a
// speculation skipped unsettled, which the committer looks at again, are
// left out). The loop's keep rule (keep_rule.hpp) keeps at least those: a
// speculation that found a dependency's pixel free and skipped it as not
// aligned is kept too. A speculator first validates the candidates committed
// so far, as the loop's speculators do, then claims the next block of the
// speculation window ahead of the committer's. Once the last block is
// committed every thread validates what is left. The committer waits for a
// block a speculator has claimed; left out are the later blocks it grows
// meanwhile, and the cache lines the threads trade beyond what `beside`
// measures.
//
// The dependencies also bound any loop that keeps the sequential results:
// a growth cannot be grown right before those it depends on are, so the
// longest chain of dependent growths (`critical_path_seconds`) is a floor
// under the loop's time on any number of threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

#include "detector/seed_loop.hpp"

namespace trelvane {

struct ModelledLoop {
    double speedup;           // the sequential loop's seconds, validation included, over the parallel one's
    double regrown_fraction;  // of the grown seeds, those grown again by the committer
    // The committer's seconds: growing the seeds it grows itself (with the
    // walk to them in blocks nobody speculated), checking and marking those
    // it keeps, and waiting for speculations.
    double growing = 0, keeping = 0, waiting = 0;
    std::size_t renewed = 0;  // growths speculated again
};

// The sequential loop's seconds: every seed at its turn, and its validation.
inline double sequential_seconds(const SeedLoopTrace& trace) {
    double sum = 0;
    for (const SeedTrace& s : trace.seeds) sum += s.walk_seconds + s.growth_seconds + s.validation_seconds;
    return sum;
}

// The first seed of each block, and one past the last block.
inline std::vector<std::size_t> first_seeds(const SeedLoopTrace& trace) {
    const std::size_t blocks = (trace.positions + block_positions - 1) / block_positions;
    std::vector<std::size_t> first(blocks + 1, trace.seeds.size());
    for (std::size_t k = trace.seeds.size(); k-- > 0;) first[trace.seeds[k].position / block_positions] = k;
    for (std::size_t b = blocks; b-- > 0;) first[b] = std::min(first[b], first[b + 1]);
    return first;
}

// The longest chain of growths, each depending on the one before, in the
// seconds their growths took at their turn.
inline double critical_path_seconds(const SeedLoopTrace& trace) {
    std::vector<double> done(trace.seeds.size());
    double longest = 0;
    for (std::size_t k = 0; k < trace.seeds.size(); ++k) {
        double start = 0;
        for (std::uint32_t j : trace.depends_on.of(k)) start = std::max(start, done[j]);
        done[k] = start + trace.seeds[k].growth_seconds;
        longest = std::max(longest, done[k]);
    }
    return longest;
}

// Candidates waiting for validation, in seed order.
class ModelledQueue {
public:
    void push(double ready, double cost) { items_.push_back({ready, cost}); }
    // A thread free at `free` validates the candidates ready by then, and
    // those ready by the time it is done with them; returns when it is free
    // again.
    double work(double free) {
        while (!items_.empty() && items_.front().ready <= free) {
            free += items_.front().cost;
            items_.pop_front();
        }
        return free;
    }
    // Every thread drains the queue; returns when the last is done.
    double drain(std::vector<double> free) {
        for (const Item& item : items_) {
            double& f = *std::min_element(free.begin(), free.end());
            f = std::max(f, item.ready) + item.cost;
        }
        items_.clear();
        return *std::max_element(free.begin(), free.end());
    }

private:
    struct Item {
        double ready, cost;
    };
    std::deque<Item> items_;
};

inline ModelledLoop model_parallel_loop(const SeedLoopTrace& trace, std::size_t threads, double beside) {
    const double sequential = sequential_seconds(trace);
    if (threads < 2 || trace.seeds.empty() || sequential <= 0) return {1, 0, sequential, 0, 0};

    const std::vector<std::size_t> first = first_seeds(trace);
    const std::size_t blocks = first.size() - 1;
    struct Claim {
        bool claimed = false;
        double start = 0, end = 0;
    };
    std::vector<Claim> claims(blocks);
    const SpeculationWindow window = speculation_window(trace.positions, threads);
    std::vector<double> speculator_free(threads - 1, 0.0), block_start(blocks, 0.0);
    ModelledQueue queue;
    std::size_t cursor = 0, regrown = 0;
    double now = 0;
    ModelledLoop loop{};
    // Per growth: when the committer was done with it, and whether it was kept.
    std::vector<double> committed(trace.seeds.size(), 1e300);
    std::vector<bool> kept_growth(trace.seeds.size(), false);
    const auto block_of = [&](std::size_t k) { return trace.seeds[k].position / block_positions; };
    const auto speculation_seconds = [&](std::size_t b) {
        double sum = 0;
        for (std::size_t k = first[b]; k < first[b + 1]; ++k) sum += trace.seeds[k].speculative_seconds * beside;
        return sum;
    };
    // When the view each growth was speculated on was read: its block's
    // speculation's start, or when it was grown again. A speculator renews
    // a doomed speculation (one of whose growths read a commit made after
    // it started) and grows its doomed growths again: here each such growth
    // as soon as the last commit it depends on is in, by the speculator free
    // first, when done before the committer arrives.
    std::vector<double> read_at(trace.seeds.size(), 0.0);
    const auto renew = [&](std::size_t b) {
        for (std::size_t k = first[b]; k < first[b + 1]; ++k) {
            read_at[k] = claims[b].start;
            double last = 0;
            for (std::uint32_t j : trace.depends_on.of(k))
                if (block_of(j) != b) last = std::max(last, committed[j]);
            double& free = *std::min_element(speculator_free.begin(), speculator_free.end());
            const double start = std::max(last, free), end = start + trace.seeds[k].speculative_seconds * beside;
            if (last <= read_at[k] || end > now) continue;
            read_at[k] = start, free = end;
            ++loop.renewed;
        }
    };
    for (std::size_t b = 0; b < blocks; ++b) {
        block_start[b] = now;
        // Speculators free by now validate, then claim the blocks ahead, each once the window reached it.
        for (;;) {
            auto j = std::min_element(speculator_free.begin(), speculator_free.end());
            if (*j > now) break;
            if (const double validated = queue.work(*j); validated != *j) {
                *j = validated;
                continue;
            }
            cursor = std::max(cursor, window.from(b));
            if (cursor >= std::min(blocks, b + window.end)) break;
            Claim& c = claims[cursor];
            c.claimed = true;
            c.start = std::max(*j, block_start[cursor + 1 >= window.end ? cursor + 1 - window.end : 0]);
            *j = c.end = c.start + speculation_seconds(cursor);
            ++cursor;
        }
        const bool speculated = claims[b].claimed;
        if (speculated) renew(b);
        // A claimed block is waited for, as the loop's committer waits.
        if (speculated && claims[b].end > now) loop.waiting += claims[b].end - now, now = claims[b].end;
        for (std::size_t k = first[b]; k < first[b + 1]; ++k) {
            const SeedTrace& s = trace.seeds[k];
            const auto deps = trace.depends_on.of(k);
            const bool kept = speculated && std::all_of(deps.begin(), deps.end(), [&](std::uint32_t j) {
                                  return block_of(j) == b ? kept_growth[j] : committed[j] <= read_at[k];
                              });
            if (speculated && !kept) ++regrown;
            const double walk = speculated ? 0 : s.walk_seconds;
            const double step = (walk + (kept ? s.mark_seconds : s.growth_seconds)) * beside;
            (kept ? loop.keeping : loop.growing) += step;
            now += step;
            committed[k] = now, kept_growth[k] = kept;
            if (s.validation_seconds > 0) queue.push(now, s.validation_seconds * beside);
        }
    }
    speculator_free.push_back(now);
    const double end = queue.drain(std::move(speculator_free));
    loop.speedup = sequential / end;
    loop.regrown_fraction = static_cast<double>(regrown) / static_cast<double>(trace.seeds.size());
    return loop;
}

}  // namespace trelvane
