#include "detect_segments.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>

#include "detect_segments_hooks.hpp"
#include "front_end.hpp"
#include "gaussian_downsample.hpp"
#include "grow_region.hpp"
#include "improve_rect.hpp"
#include "pseudo_order.hpp"
#include "records.hpp"
#include "refine_region.hpp"
#include "region_to_rect.hpp"

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

// Seeds lie scattered over the image and most are already taken when their
// turn comes. Far ahead, fetch a seed's mask byte; nearer, when that byte
// says free, fetch the three record rows its growth starts on. Only hints:
// the byte may change before the seed's turn.
constexpr std::size_t mask_prefetch_distance = 16;
constexpr std::size_t record_prefetch_distance = 6;

void prefetch_ahead(std::span<const std::uint32_t> seeds, std::size_t i, const GradientField& field,
                    const UsedMask& used) {
    if (i + mask_prefetch_distance < seeds.size()) __builtin_prefetch(&used[seeds[i + mask_prefetch_distance]]);
    if (i + record_prefetch_distance >= seeds.size()) return;
    const std::size_t ahead = seeds[i + record_prefetch_distance];
    if (used[ahead]) return;
    const std::size_t w = field.width, count = field.records.size();
    for (const std::size_t q : {ahead >= w ? ahead - w : ahead, ahead, ahead + w < count ? ahead + w : ahead})
        __builtin_prefetch(field.records.data() + q);
}

constexpr double log10_11 = 1.0413926851582251;
constexpr double log10_8 = 0.9030899869919435;  // −log10 of the aligned probability 0.125

// The run's sizes and thresholds.
struct RunConstants {
    double log_nt;
    std::uint64_t min_region_size;

    explicit RunConstants(const GradientField& field)
        : log_nt(2.5 * (std::log10(static_cast<double>(field.width)) + std::log10(static_cast<double>(field.height))) +
                 log10_11),
          min_region_size(saturating_u64(std::ceil(log_nt / log10_8))) {}
};

// A refined candidate; after validation, its improved rectangle and score.
struct Candidate {
    Rect rect;
    double log_nfa;
};

// The seed loop: grows, fits and refines a region from every seed still free
// and hands each dense candidate's rectangle to emit, in seed order.
template <class Emit>
void seed_loop(FrontEnd& fe, std::span<const std::uint32_t> seeds, const RunConstants& run, Laps& laps,
               Emit&& emit) {
    const GradientField& field = fe.field;
    UsedMask& used = fe.used;
    Region region;
    Rect rect;
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        prefetch_ahead(seeds, i, field, used);
        const std::uint32_t seed = seeds[i];
        if (used[seed]) continue;
        const DirectionSum sum = grow_region(seed, angle_tolerance, field, used, region);
        if (region.size() < run.min_region_size) {
            laps.lap(&StageTimes::growing);
            continue;
        }
        rect = region_to_rect(region, field, sum.angle(), aligned_probability);
        const bool dense = refine_region(region, rect, used, field, run.min_region_size);
        laps.lap(&StageTimes::growing);
        if (dense) emit(rect);
    }
}

Candidate validate(const Rect& rect, const GradientField& field, const RunConstants& run) {
    Candidate c{rect, 0};
    c.log_nfa = improve_rect(c.rect, field.records, rho, run.log_nt, field.width, field.height);
    return c;
}

// Candidates validated while the seed loop goes on. Rectangle improvement
// reads only the field (never written during the loop) and its own
// rectangle, never the used mask, so it can run on another thread; each
// result goes back to its candidate's slot, which keeps seed order.
class ValidationQueue {
public:
    ValidationQueue(const GradientField& field, const RunConstants& run) : field_(field), run_(run) {}

    // Wakes the validator once a few candidates wait, not for every one: a
    // wake-up costs the seed loop a system call.
    void push(const Rect& rect) {
        bool wake;
        {
            std::lock_guard lock(mutex_);
            items_.push_back({rect, 0});
            wake = items_.size() - taken_ >= wake_batch;
        }
        if (wake) ready_.notify_one();
    }
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }
    // Validates queued candidates until the queue is closed and drained.
    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [&] { return taken_ < items_.size() || closed_; });
            if (taken_ == items_.size()) return;
            const std::size_t i = taken_++;
            const Rect rect = items_[i].rect;
            lock.unlock();
            const Candidate done = validate(rect, field_, run_);
            lock.lock();
            items_[i] = done;
        }
    }
    // Every candidate in seed order; only once work() has returned everywhere.
    const std::vector<Candidate>& results() const { return items_; }

private:
    static constexpr std::size_t wake_batch = 8;
    const GradientField& field_;
    const RunConstants& run_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Candidate> items_;
    std::size_t taken_ = 0;
    bool closed_ = false;
};

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
std::vector<Segment> sequential_segments(FrontEnd& fe, std::span<const std::uint32_t> seeds, double to_input,
                                         Laps& laps) {
    const RunConstants run(fe.field);
    std::vector<Candidate> candidates;
    seed_loop(fe, seeds, run, laps, [&](const Rect& rect) {
        candidates.push_back(validate(rect, fe.field, run));
        laps.lap(&StageTimes::validation);
    });
    return accepted(candidates, to_input);
}

// The seed loop and a validator as the two units of one pool loop; the seed
// loop helps drain the queue once it is done. Without a free worker the
// validator runs after the seed loop, on the same thread.
std::vector<Segment> pipelined_segments(FrontEnd& fe, std::span<const std::uint32_t> seeds, double to_input, Laps& laps,
                                        WorkerPool& pool) {
    const RunConstants run(fe.field);
    ValidationQueue queue(fe.field, run);
    pool.run(2, [&](std::size_t unit) {
        if (unit == 1) return queue.work();
        try {
            seed_loop(fe, seeds, run, laps, [&](const Rect& rect) { queue.push(rect); });
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

// The plain stages one after the other: the reference for the fused path.
template <class T>
std::vector<Segment> reference_run(std::span<const T> samples, std::size_t w, std::size_t h, double scale,
                                   double to_input, Laps& laps, WorkerPool& pool) {
    FrontEnd fe = reference_front_end(samples, w, h, scale, pool);
    laps.lap(&StageTimes::front_end);
    const std::vector<std::uint32_t> seeds = pseudo_order(fe.field, rho);
    laps.lap(&StageTimes::ordering);
    return sequential_segments(fe, seeds, to_input, laps);
}

template <class T>
std::vector<Segment> fused_run(std::span<const T> samples, std::size_t w, std::size_t h, double scale,
                               double to_input, Laps& laps, WorkerPool& pool) {
    FrontEnd fe = fused_front_end(samples, w, h, scale, pool);
    laps.lap(&StageTimes::front_end);
    const FilledLater<std::uint32_t> seeds = order_seeds(fe.blocks, pool);
    laps.lap(&StageTimes::ordering);
    return pipelined_segments(fe, seeds, to_input, laps, pool);
}

}  // namespace

ImageSize working_size(std::uint64_t width, std::uint64_t height, double scale) {
    return downsamples(scale) ? downsampled_size(width, height, scale) : ImageSize{width, height};
}

template <class T>
Checked<std::vector<Segment>> run_pipeline(Pipeline pipeline, std::span<const T> samples, std::uint64_t width,
                                           std::uint64_t height, double scale, StageTimes* times, WorkerPool& pool) {
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
    return fused_run(samples, width, height, scale, to_input, laps, pool);
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
                                                           std::uint64_t, double, StageTimes*, WorkerPool&);
TRELVANE_DETECT(double)
TRELVANE_DETECT(float)
TRELVANE_DETECT(std::uint8_t)
TRELVANE_DETECT(std::uint16_t)
#undef TRELVANE_DETECT

}  // namespace trelvane
