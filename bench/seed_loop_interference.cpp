// What slows the parallel seed loop's committer when a second thread runs
// beside it. Grows the image's seeds in order as the committer grows its
// own (atomic mask bytes) and counts the time-stamp
// counter's ticks inside the growths, while the other thread runs one of:
//
//   alone              nothing
//   spin               arithmetic on registers
//   stream             reads a private buffer as large as the field, in order
//   private mask       random byte reads of a private copy of the mask
//   shared mask        the same on the mask the committer writes
//   records            random reads of the field's records
//   speculate private  speculative growth ahead of the committer, on a
//                      private copy of the mask as the loop starts
//   speculate shared   the same on the mask the committer writes, as a
//                      speculator does
//
//     seed_loop_interference IMAGE.pgm SCALE REPEATS
//
// Prints one line per neighbour: its name, then the least over the repeats
// of the ticks per growth and of the loop's seconds. For bench/bench_detect.py.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <thread>
#include <vector>

#include "detector/detect_segments_hooks.hpp"
#include "pgm.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
static std::uint64_t ticks() { return __rdtsc(); }
#else
static std::uint64_t ticks() { return std::chrono::steady_clock::now().time_since_epoch().count(); }
#endif

namespace {

using namespace trelvane;

// Positions the speculating neighbours stay ahead of the committer: the
// parallel loop's lead.
std::size_t lead_positions(std::size_t seeds) { return speculation_window(seeds, 2).lead * block_positions; }

struct Loop {
    std::uint64_t growth_ticks = 0, growths = 0;
    double seconds = 0;
};

// The committer's growths on run.used, reset to `start` first; where it
// stands goes to `position` for the speculating neighbours.
Loop commit_alone(const SeedRun& run, const std::vector<std::uint8_t>& start, std::atomic<std::size_t>& position) {
    std::copy(start.begin(), start.end(), run.used.data());
    SharedMask mask(run.used);
    Region region;
    Rect rect;
    Loop loop;
    const auto begin = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < run.seeds.size(); ++i) {
        prefetch_ahead(run.seeds, i, run.field, run.used);
        if (mask.taken(run.seeds[i])) continue;
        position.store(i, std::memory_order_relaxed);
        const std::uint64_t t = ticks();
        process_seed(run.seeds[i], run, mask, region, rect);
        mask.settle(region);
        loop.growth_ticks += ticks() - t;
        ++loop.growths;
    }
    loop.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return loop;
}

// xorshift: random indices without a table that would share the caches.
struct Random {
    std::uint64_t s = 0x9E3779B97F4A7C15u;
    std::size_t below(std::size_t n) {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;
        return static_cast<std::size_t>(s % n);
    }
};

// Grows blocks of seeds a lead ahead of the committer on `mask_bytes`
// through the speculative view, over and over, as a speculator does.
void speculate(const SeedRun& run, const UsedMask& mask_bytes, const std::atomic<std::size_t>& position,
               const std::atomic<bool>& stop) {
    PixelSet mine(run.used.size()), earlier(run.used.size());
    GrowthLog took, found;
    std::vector<std::size_t> rechecks;
    Region region;
    Rect rect;
    const std::size_t lead = lead_positions(run.seeds.size());
    while (!stop.load(std::memory_order_relaxed)) {
        const std::size_t from = std::min(position.load(std::memory_order_relaxed) + lead, run.seeds.size());
        const std::size_t to = std::min(from + block_positions, run.seeds.size());
        LoggedMask mask(mask_bytes, mine, earlier, took, found, rechecks);
        for (std::size_t i = from; i < to; ++i) {
            if (seed_taken(mask, i, run.seeds[i])) continue;
            process_seed(run.seeds[i], run, mask, region, rect);
            took.end_growth(), found.end_growth();
        }
        mine.clear();
        took.clear(), found.clear(), rechecks.clear();
        if (from == to) std::this_thread::yield();
    }
}

struct Neighbour {
    const char* name;
    void (*work)(const SeedRun&, const UsedMask& copy, const std::atomic<std::size_t>& position,
                 const std::atomic<bool>& stop);
};

std::uint64_t sink;  // keeps the neighbours' reads from being optimised away

const Neighbour neighbours[] = {
    {"alone", nullptr},
    {"spin",
     [](const SeedRun&, const UsedMask&, const std::atomic<std::size_t>&, const std::atomic<bool>& stop) {
         std::uint64_t x = 1;
         while (!stop.load(std::memory_order_relaxed))
             for (int k = 0; k < 4096; ++k) x = x * 6364136223846793005u + 1442695040888963407u;
         sink = x;
     }},
    {"stream",
     [](const SeedRun& run, const UsedMask&, const std::atomic<std::size_t>&, const std::atomic<bool>& stop) {
         std::vector<std::uint64_t> buffer(run.field.records.size() * sizeof(GradientRecord) / 8, 1);
         std::uint64_t sum = 0;
         while (!stop.load(std::memory_order_relaxed))
             for (std::uint64_t v : buffer) sum += v;
         sink = sum;
     }},
    {"private mask",
     [](const SeedRun&, const UsedMask& copy, const std::atomic<std::size_t>&, const std::atomic<bool>& stop) {
         Random r;
         std::uint64_t sum = 0;
         while (!stop.load(std::memory_order_relaxed))
             for (int k = 0; k < 4096; ++k) sum += load_shared(copy.data(), r.below(copy.size()));
         sink = sum;
     }},
    {"shared mask",
     [](const SeedRun& run, const UsedMask&, const std::atomic<std::size_t>&, const std::atomic<bool>& stop) {
         Random r;
         std::uint64_t sum = 0;
         while (!stop.load(std::memory_order_relaxed))
             for (int k = 0; k < 4096; ++k) sum += load_shared(run.used.data(), r.below(run.used.size()));
         sink = sum;
     }},
    {"records",
     [](const SeedRun& run, const UsedMask&, const std::atomic<std::size_t>&, const std::atomic<bool>& stop) {
         Random r;
         float sum = 0;
         while (!stop.load(std::memory_order_relaxed))
             for (int k = 0; k < 4096; ++k) sum += run.field.records[r.below(run.field.records.size())].magnitude;
         sink = static_cast<std::uint64_t>(sum);
     }},
    {"speculate private",
     [](const SeedRun& run, const UsedMask& copy, const std::atomic<std::size_t>& position,
        const std::atomic<bool>& stop) { speculate(run, copy, position, stop); }},
    {"speculate shared",
     [](const SeedRun& run, const UsedMask&, const std::atomic<std::size_t>& position,
        const std::atomic<bool>& stop) { speculate(run, run.used, position, stop); }},
};

// The committer's loop with `n` beside it.
Loop beside(const SeedRun& run, const std::vector<std::uint8_t>& start, const UsedMask& copy, const Neighbour& n) {
    std::atomic<std::size_t> position{0};
    std::atomic<bool> stop{false};
    std::thread other;
    if (n.work) other = std::thread([&] { n.work(run, copy, position, stop); });
    const Loop loop = commit_alone(run, start, position);
    stop.store(true, std::memory_order_relaxed);
    if (other.joinable()) other.join();
    return loop;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: seed_loop_interference IMAGE.pgm SCALE REPEATS\n";
        return 2;
    }
    const bench::Pgm image = bench::read_pgm(argv[1]);
    const double scale = std::strtod(argv[2], nullptr);
    const int repeats = std::atoi(argv[3]);
    with_seed_run<std::uint8_t>(image.samples, image.width, image.height, scale, [&](const SeedRun& run) {
        const std::vector<std::uint8_t> start(run.used.data(), run.used.data() + run.used.size());
        UsedMask copy(run.used.size());
        std::copy(start.begin(), start.end(), copy.data());
        constexpr std::size_t count = std::size(neighbours);
        std::vector<Loop> best(count, Loop{UINT64_MAX, 0, 1e300});
        // Round after round, so that a change in the machine's load spreads over every neighbour.
        for (int r = 0; r < repeats; ++r)
            for (std::size_t n = 0; n < count; ++n) {
                const Loop loop = beside(run, start, copy, neighbours[n]);
                best[n].growth_ticks = std::min(best[n].growth_ticks, loop.growth_ticks);
                best[n].growths = loop.growths;
                best[n].seconds = std::min(best[n].seconds, loop.seconds);
            }
        for (std::size_t n = 0; n < count; ++n)
            std::printf("%s\tticks_per_growth %.1f\tseconds %.6f\n", neighbours[n].name,
                        static_cast<double>(best[n].growth_ticks) / static_cast<double>(best[n].growths),
                        best[n].seconds);
    });
    return 0;
}
