// What the tests and the benchmark reach inside the detector driver: the
// plain stages run one after the other, the reference the fused path is
// compared with, and the seconds each stage of a run takes.
#pragma once

#include "detect_segments.hpp"
#include "seed_loop.hpp"

namespace trelvane {

// The fused, parallel path (what detect_segments runs: its seed loop is the
// parallel one on a pool of two threads or more), the same with the parallel
// seed loop on any pool, or the plain stage functions one after the other.
// All give the same segments, bit for bit.
enum class Pipeline { fused, parallel, reference };

// Seconds spent in each stage of a run, summed over its seeds.
struct StageTimes {
    double front_end = 0;    // conversion, downsampling, level-line field, used mask
    double ordering = 0;     // pseudo-ordering
    double growing = 0;      // the seed loop: region growing, rectangles and refinement
    double validation = 0;   // rectangle NFA and improvement (fused: what is left after the seed loop)
};

// detect_segments on the given pipeline, adding each stage's seconds to
// *times unless times is null; the parallel seed loop fills and follows
// *probe unless probe is null (left as it is when the loop ran on one
// thread without it).
template <class T>
Checked<std::vector<Segment>> run_pipeline(Pipeline pipeline, std::span<const T> samples, std::uint64_t width,
                                           std::uint64_t height, double scale, StageTimes* times = nullptr,
                                           WorkerPool& pool = process_pool(), SeedLoopProbe* probe = nullptr);

// Runs detect_segments's front end and ordering, then use(run) on the seed
// loop's input (the field, the used mask as the loop starts, the seeds), for
// the benchmark's experiments on the loop; use is not called where the run
// grows nothing.
template <class T>
void with_seed_run(std::span<const T> samples, std::uint64_t width, std::uint64_t height, double scale,
                   const std::function<void(const SeedRun&)>& use);

// The seed loop of detect_segments's run recorded for the model of the
// parallel loop (seed_loop.hpp); empty where the run grows nothing.
template <class T>
SeedLoopTrace trace_seed_loop(std::span<const T> samples, std::uint64_t width, std::uint64_t height, double scale);

}  // namespace trelvane
