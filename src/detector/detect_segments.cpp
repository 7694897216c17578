#include "detect_segments.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>

#include "detect_segments_hooks.hpp"
#include "front_end.hpp"
#include "gaussian_downsample.hpp"
#include "mask_access.hpp"
#include "pseudo_order.hpp"
#include "records.hpp"
#include "seed_loop.hpp"

namespace trelvane {

namespace {

// Adds the time since the last lap to a stage's total, when timing.
class Laps {
public:
    explicit Laps(StageTimes* times) : times_(times) {
        if (times_) last_ = std::chrono::steady_clock::now();
    }
    void lap(double StageTimes::*stage) {
        if (!times_) return;
        const auto now = std::chrono::steady_clock::now();
        times_->*stage += std::chrono::duration<double>(now - last_).count();
        last_ = now;
    }

private:
    StageTimes* times_;
    std::chrono::steady_clock::time_point last_;
};

// IEEE 754 totalOrder as a signed integer key.
std::int64_t total_order_key(double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

}  // namespace

void sort_longest_first(std::vector<Segment>& segments) {
    const auto key = [](const Segment& s) { return total_order_key(std::hypot(s.x2 - s.x1, s.y2 - s.y1)); };
    std::stable_sort(segments.begin(), segments.end(),
                     [&](const Segment& a, const Segment& b) { return key(b) < key(a); });
}

namespace {

// The sequential seed loop, the reference: hands each dense candidate's
// rectangle to emit, in seed order.
template <class Emit>
void seed_loop(const SeedRun& run, Laps& laps, Emit&& emit) {
    DirectMask mask(run.used);
    Region region;
    Rect rect;
    walk_seeds(run, 0, run.seeds.size(), mask, region, rect, [&](std::size_t, SeedFate fate) {
        laps.lap(&StageTimes::growing);
        if (fate == SeedFate::dense) emit(rect);
    });
}

// Accepted candidates as segments, scaled back to input coordinates by the
// factor to_input, longest first.
std::vector<Segment> accepted(const std::vector<Candidate>& candidates, double to_input) {
    std::vector<Segment> segments;
    for (const Candidate& c : candidates) {
        if (0 >= c.log_nfa) continue;  // a NaN score is not rejected
        const Rect& r = c.rect;
        segments.push_back({(r.x1 + 0.5) * to_input, (r.y1 + 0.5) * to_input, (r.x2 + 0.5) * to_input,
                            (r.y2 + 0.5) * to_input, r.width * to_input, r.p, c.log_nfa});
    }
    sort_longest_first(segments);
    return segments;
}

// Each candidate validated as soon as it is refined, on the calling thread.
std::vector<Segment> sequential_segments(const SeedRun& run, double to_input, Laps& laps) {
    std::vector<Candidate> candidates;
    seed_loop(run, laps, [&](const Rect& rect) {
        candidates.push_back(validate(rect, run.field, run.constants));
        laps.lap(&StageTimes::validation);
    });
    return accepted(candidates, to_input);
}

// The sequential seed loop and a validator as the two units of one pool
// loop; the seed loop helps drain the queue once it is done. With a pool of
// one thread, the validator runs after the seed loop, on the same thread.
std::vector<Segment> pipelined_segments(const SeedRun& run, double to_input, Laps& laps, WorkerPool& pool) {
    ValidationQueue queue(run.field, run.constants);
    pool.run(2, [&](std::size_t unit) {
        if (unit == 1) return queue.work();
        try {
            seed_loop(run, laps, [&](const Rect& rect) { queue.push(rect); });
        } catch (...) {
            queue.close();  // the validator must not wait for candidates that never come
            throw;
        }
        queue.close();
        queue.work();
    });
    laps.lap(&StageTimes::validation);
    return accepted(queue.results(), to_input);
}

// The seed loop on every thread the pool lends (seed_loop.hpp), then the
// validation of what is left.
std::vector<Segment> parallel_segments(const SeedRun& run, double to_input, Laps& laps, WorkerPool& pool,
                                       SeedLoopProbe* probe) {
    ValidationQueue queue(run.field, run.constants);
    parallel_seed_loop(run, queue, pool, probe, [&] { laps.lap(&StageTimes::growing); });
    laps.lap(&StageTimes::validation);
    return accepted(queue.results(), to_input);
}

// The plain stages one after the other: the reference for the fused path.
template <class T>
std::vector<Segment> reference_run(std::span<const T> samples, std::size_t w, std::size_t h, double scale,
                                   double to_input, Laps& laps, WorkerPool& pool) {
    FrontEnd fe = reference_front_end(samples, w, h, scale, pool);
    laps.lap(&StageTimes::front_end);
    const std::vector<std::uint32_t> seeds = pseudo_order(fe.field, rho);
    laps.lap(&StageTimes::ordering);
    return sequential_segments(SeedRun(fe.field, fe.used, seeds), to_input, laps);
}

template <class T>
std::vector<Segment> fused_run(Pipeline pipeline, std::span<const T> samples, std::size_t w, std::size_t h,
                               double scale, double to_input, Laps& laps, WorkerPool& pool,
                               SeedLoopProbe* probe) {
    FrontEnd fe = fused_front_end(samples, w, h, scale, pool);
    laps.lap(&StageTimes::front_end);
    const FilledLater<std::uint32_t> seeds = order_seeds(fe.blocks, pool);
    laps.lap(&StageTimes::ordering);
    const SeedRun run(fe.field, fe.used, seeds);
    // A pool of one thread has nothing to speculate with.
    if (pipeline == Pipeline::parallel || pool.workers() >= 2) return parallel_segments(run, to_input, laps, pool, probe);
    return pipelined_segments(run, to_input, laps, pool);
}

}  // namespace

ImageSize working_size(std::uint64_t width, std::uint64_t height, double scale) {
    return downsamples(scale) ? downsampled_size(width, height, scale) : ImageSize{width, height};
}

template <class T>
Checked<std::vector<Segment>> run_pipeline(Pipeline pipeline, std::span<const T> samples, std::uint64_t width,
                                           std::uint64_t height, double scale, StageTimes* times, WorkerPool& pool,
                                           SeedLoopProbe* probe) {
    const std::uint64_t length = dims_product(width, height);
    if (samples.size() != length) return SizeMismatch{length, samples.size()};
    if (width < 3 || height < 3) return std::vector<Segment>{};
    // Sizes first: a scale too small to leave 3 × 3 pixels needs no kernel.
    const ImageSize size = working_size(width, height, scale);
    if (size.width < 3 || size.height < 3) return std::vector<Segment>{};
    if (dims_product(size.width, size.height) > std::uint64_t{UINT32_MAX})
        fail("the working image has 2^32 pixels or more");

    Laps laps(times);
    const double to_input = downsamples(scale) ? 1 / scale : 1.0;
    if (pipeline == Pipeline::reference) return reference_run(samples, width, height, scale, to_input, laps, pool);
    return fused_run(pipeline, samples, width, height, scale, to_input, laps, pool, probe);
}

template <class T>
void with_seed_run(std::span<const T> samples, std::uint64_t width, std::uint64_t height, double scale,
                   const std::function<void(const SeedRun&)>& use) {
    const ImageSize size = working_size(width, height, scale);
    if (samples.size() != dims_product(width, height) || size.width < 3 || size.height < 3) return;
    FrontEnd fe = fused_front_end(samples, width, height, scale);
    const FilledLater<std::uint32_t> seeds = order_seeds(fe.blocks);
    use(SeedRun(fe.field, fe.used, seeds));
}

template <class T>
SeedLoopTrace trace_seed_loop(std::span<const T> samples, std::uint64_t width, std::uint64_t height, double scale) {
    SeedLoopTrace trace;
    with_seed_run(samples, width, height, scale, [&](const SeedRun& run) { trace = trace_seed_loop(run); });
    return trace;
}

template <class T>
Checked<std::vector<Segment>> detect_segments(std::span<const T> samples, std::uint64_t width,
                                              std::uint64_t height, double scale, WorkerPool& pool) {
    return run_pipeline(Pipeline::fused, samples, width, height, scale, nullptr, pool);
}

#define TRELVANE_DETECT(T)                                                                                     \
    template Checked<std::vector<Segment>> detect_segments<T>(std::span<const T>, std::uint64_t, std::uint64_t, \
                                                              double, WorkerPool&);                            \
    template Checked<std::vector<Segment>> run_pipeline<T>(Pipeline, std::span<const T>, std::uint64_t,        \
                                                           std::uint64_t, double, StageTimes*, WorkerPool&,    \
                                                           SeedLoopProbe*);                                   \
    template void with_seed_run<T>(std::span<const T>, std::uint64_t, std::uint64_t, double,                  \
                                   const std::function<void(const SeedRun&)>&);                                \
    template SeedLoopTrace trace_seed_loop<T>(std::span<const T>, std::uint64_t, std::uint64_t, double);
TRELVANE_DETECT(double)
TRELVANE_DETECT(float)
TRELVANE_DETECT(std::uint8_t)
TRELVANE_DETECT(std::uint16_t)
#undef TRELVANE_DETECT

}  // namespace trelvane
