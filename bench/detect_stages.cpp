// Times the detector's stages on an 8-bit binary PGM image, interleaved in
// one process: the fused, parallel path as detect runs it ("fused"), the
// same on one worker ("alone", a pool without threads, as
// TRELVANE_NUM_THREADS=1 makes it), the same with the parallel seed loop
// whatever the pool's size ("parallel"), and the plain stage functions one
// after the other ("reference", with the sequential seed loop). Then models
// the parallel seed loop on more threads from a recorded run
// (seed_loop_model.hpp), each of its costs multiplied by BESIDE (default 1).
//
//     detect_stages IMAGE.pgm SCALE REPEATS [BESIDE]
//
// Prints one line per path: its name, then seconds per stage of its run with
// the smallest total, the number of segments and what the parallel seed loop
// did with its growths; the pool against one worker, round by round (the
// two calls of a round run one right after the other, in alternating order,
// so that the machine's drift from minute to minute cancels out): the
// median, least and greatest ratio of the calls' times and the median of
// the seed loop's (validation included); the recorded loop's seconds by kind
// of step; the longest chain of dependent growths and the loop's speed-up it
// allows at most; then one line per modelled thread count. For
// bench/bench_detect.py.
#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <span>
#include <vector>

#include "detector/detect_segments_hooks.hpp"
#include "pgm.hpp"
#include "seed_loop_model.hpp"

namespace {

struct Best {
    Best(const char* n, trelvane::Pipeline p, trelvane::WorkerPool& on) : name(n), pipeline(p), pool(&on) {}
    const char* name;
    trelvane::Pipeline pipeline;
    trelvane::WorkerPool* pool;
    trelvane::StageTimes times;
    double total = 1e300;
    double cpu = 1e300;  // process CPU seconds, all threads: the least of the runs
    std::size_t segments = 0;
    trelvane::SpeculationCounts counts;
    std::vector<double> totals, loops;  // round by round: the call's seconds, the seed loop's with validation
};

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

void time_once(const bench::Pgm& image, double scale, Best& best) {
    trelvane::StageTimes times;
    const double cpu = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    trelvane::SeedLoopProbe probe;
    const auto result = trelvane::run_pipeline<std::uint8_t>(best.pipeline, image.samples, image.width, image.height,
                                                             scale, &times, *best.pool, &probe);
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    best.cpu = std::min(best.cpu, cpu_seconds() - cpu);
    best.segments = std::get<std::vector<trelvane::Segment>>(result).size();
    best.totals.push_back(total), best.loops.push_back(times.growing + times.validation);
    if (total < best.total) best.total = total, best.times = times, best.counts = probe.counts;
}

// A recorded seed's costs, by kind of step.
constexpr double trelvane::SeedTrace::*costs[] = {
    &trelvane::SeedTrace::walk_seconds, &trelvane::SeedTrace::growth_seconds,
    &trelvane::SeedTrace::speculative_seconds, &trelvane::SeedTrace::mark_seconds,
    &trelvane::SeedTrace::validation_seconds};

// The recorded loop with each seed's least costs over `repeats` recordings.
trelvane::SeedLoopTrace least_trace(const bench::Pgm& image, double scale, int repeats) {
    const auto record = [&] {
        return trelvane::trace_seed_loop<std::uint8_t>(image.samples, image.width, image.height, scale);
    };
    trelvane::SeedLoopTrace least = record();
    for (int r = 1; r < repeats; ++r) {
        const trelvane::SeedLoopTrace next = record();
        for (std::size_t k = 0; k < least.seeds.size(); ++k)
            for (double trelvane::SeedTrace::*cost : costs)
                least.seeds[k].*cost = std::min(least.seeds[k].*cost, next.seeds[k].*cost);
    }
    return least;
}

// The median, least and greatest of a / b, round by round.
std::array<double, 3> ratios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) r[i] = a[i] / b[i];
    std::sort(r.begin(), r.end());
    const std::size_t n = r.size();
    return {(r[(n - 1) / 2] + r[n / 2]) / 2, r.front(), r.back()};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::cerr << "usage: detect_stages IMAGE.pgm SCALE REPEATS [BESIDE]\n";
        return 2;
    }
    const bench::Pgm image = bench::read_pgm(argv[1]);
    const double scale = std::strtod(argv[2], nullptr);
    const int repeats = std::atoi(argv[3]);
    const double beside = argc == 5 ? std::strtod(argv[4], nullptr) : 1.0;
    trelvane::WorkerPool one_worker(0);
    Best paths[] = {{"fused", trelvane::Pipeline::fused, trelvane::process_pool()},
                    {"alone", trelvane::Pipeline::fused, one_worker},
                    {"parallel", trelvane::Pipeline::parallel, trelvane::process_pool()},
                    {"reference", trelvane::Pipeline::reference, trelvane::process_pool()}};
    for (int r = 0; r < repeats; ++r) {
        // The pool and one worker take turns at going first.
        time_once(image, scale, paths[r % 2]), time_once(image, scale, paths[1 - r % 2]);
        for (Best& path : std::span(paths).subspan(2)) time_once(image, scale, path);
    }
    for (const Best& b : paths)
        std::printf("%s total %.6f cpu %.6f front_end %.6f ordering %.6f growing %.6f validation %.6f segments %zu "
                    "kept %zu regrown %zu own %zu rechecked %zu renewed %zu\n",
                    b.name, b.total, b.cpu, b.times.front_end, b.times.ordering, b.times.growing, b.times.validation,
                    b.segments, b.counts.kept, b.counts.regrown, b.counts.own, b.counts.rechecked, b.counts.renewed);
    const auto call = ratios(paths[1].totals, paths[0].totals), loop = ratios(paths[1].loops, paths[0].loops);
    std::printf("pool_against_one_worker median %.4f least %.4f greatest %.4f loop_median %.4f\n", call[0], call[1],
                call[2], loop[0]);
    const auto trace = least_trace(image, scale, repeats);
    double sums[std::size(costs)] = {};
    for (const trelvane::SeedTrace& t : trace.seeds)
        for (std::size_t c = 0; c < std::size(costs); ++c) sums[c] += t.*costs[c];
    std::printf("trace walk %.6f growth %.6f speculative %.6f mark %.6f validation %.6f grown %zu\n", sums[0],
                sums[1], sums[2], sums[3], sums[4], trace.seeds.size());
    const double chain = trelvane::critical_path_seconds(trace);
    std::printf("bound critical_path %.6f speedup %.3f\n", chain, trelvane::sequential_seconds(trace) / chain);
    for (std::size_t threads : {2, 4, 8, 16, 32}) {
        const auto m = trelvane::model_parallel_loop(trace, threads, beside);
        std::printf("model threads %zu speedup %.3f regrown %.4f growing %.6f keeping %.6f waiting %.6f renewed %zu\n",
                    threads, m.speedup, m.regrown_fraction, m.growing, m.keeping, m.waiting, m.renewed);
    }
    return 0;
}
