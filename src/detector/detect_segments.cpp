#include "detect_segments.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>

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

// The scale test that skips downsampling: 1 <= scale, or unordered (NaN).
bool downsamples(double scale) { return scale < 1; }

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

constexpr std::size_t seed_prefetch_distance = 8;

// The seed loop over the working image's front end; m maps its coordinates
// back to the input.
std::vector<Segment> find_segments(FrontEnd& fe, std::span<const std::uint32_t> seeds, double m, Laps& laps) {
    const GradientField& field = fe.field;
    UsedMask& used = fe.used;
    const double log_nt =
        2.5 * (std::log10(static_cast<double>(field.width)) + std::log10(static_cast<double>(field.height))) +
        1.0413926851582251;
    const std::uint64_t min_region_size = saturating_u64(std::ceil(log_nt / 0.9030899869919435));

    std::vector<Segment> segments;
    Region region;
    Rect rect;
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        // Seeds lie scattered over the image: fetch a later seed's mask byte
        // and record while this one grows.
        if (i + seed_prefetch_distance < seeds.size()) {
            const std::uint32_t ahead = seeds[i + seed_prefetch_distance];
            __builtin_prefetch(&used[ahead]);
            __builtin_prefetch(&field.records[ahead]);
        }
        const std::uint32_t seed = seeds[i];
        if (used[seed]) continue;
        const DirectionSum sum = grow_region_sum(seed, angle_tolerance, field, used, region);
        if (region.size() < min_region_size) {
            laps.lap(&StageTimes::growing);
            continue;
        }
        rect = region_to_rect(region, field, sum.angle(), aligned_probability);
        const bool dense = refine_region(region, rect, used, field, min_region_size);
        laps.lap(&StageTimes::growing);
        if (!dense) continue;
        const double log_nfa = improve_rect(rect, field.records, rho, log_nt, field.width, field.height);
        laps.lap(&StageTimes::validation);
        if (0 >= log_nfa) continue;  // a NaN score is not rejected
        segments.push_back({(rect.x1 + 0.5) * m, (rect.y1 + 0.5) * m, (rect.x2 + 0.5) * m,
                            (rect.y2 + 0.5) * m, rect.width * m, rect.p, log_nfa});
    }
    sort_longest_first(segments);
    return segments;
}

// The plain stages one after the other: the reference for the fused path.
template <class T>
std::vector<Segment> reference_run(std::span<const T> samples, std::size_t w, std::size_t h, double scale,
                                   double m, Laps& laps, WorkerPool& pool) {
    FrontEnd fe = reference_front_end(samples, w, h, scale, pool);
    laps.lap(&StageTimes::front_end);
    const std::vector<std::uint32_t> seeds = pseudo_order(fe.field, rho);
    laps.lap(&StageTimes::ordering);
    return find_segments(fe, seeds, m, laps);
}

template <class T>
std::vector<Segment> fused_run(std::span<const T> samples, std::size_t w, std::size_t h, double scale,
                               double m, Laps& laps, WorkerPool& pool) {
    FrontEnd fe = fused_front_end(samples, w, h, scale, pool);
    laps.lap(&StageTimes::front_end);
    const FilledLater<std::uint32_t> seeds = order_seeds(fe.blocks, pool);
    laps.lap(&StageTimes::ordering);
    return find_segments(fe, seeds, m, laps);
}

}  // namespace

ImageSize working_size(std::uint64_t width, std::uint64_t height, double scale) {
    if (!downsamples(scale)) return {width, height};
    const DownsampledSize size = downsampled_size(width, height, scale);
    return {size.width, size.height};
}

template <class T>
Checked<std::vector<Segment>> detect_segments(std::span<const T> samples, std::uint64_t width,
                                              std::uint64_t height, double scale, StageTimes* times,
                                              Pipeline pipeline, WorkerPool& pool) {
    const std::uint64_t length = dims_product(width, height);
    if (samples.size() != length) return SizeMismatch{length, samples.size()};
    if (width < 3 || height < 3) return std::vector<Segment>{};
    // Sizes first: a scale too small to leave 3 × 3 pixels needs no kernel.
    const ImageSize size = working_size(width, height, scale);
    if (size.width < 3 || size.height < 3) return std::vector<Segment>{};
    if (dims_product(size.width, size.height) > std::uint64_t{UINT32_MAX})
        fail("the working image has 2^32 pixels or more");

    Laps laps(times);
    const double m = downsamples(scale) ? 1 / scale : 1.0;
    if (pipeline == Pipeline::reference) return reference_run(samples, width, height, scale, m, laps, pool);
    return fused_run(samples, width, height, scale, m, laps, pool);
}

template Checked<std::vector<Segment>> detect_segments<double>(std::span<const double>, std::uint64_t,
                                                               std::uint64_t, double, StageTimes*, Pipeline, WorkerPool&);
template Checked<std::vector<Segment>> detect_segments<float>(std::span<const float>, std::uint64_t,
                                                              std::uint64_t, double, StageTimes*, Pipeline, WorkerPool&);
template Checked<std::vector<Segment>> detect_segments<std::uint8_t>(std::span<const std::uint8_t>,
                                                                     std::uint64_t, std::uint64_t, double, StageTimes*, Pipeline, WorkerPool&);
template Checked<std::vector<Segment>> detect_segments<std::uint16_t>(std::span<const std::uint16_t>,
                                                                      std::uint64_t, std::uint64_t, double, StageTimes*, Pipeline, WorkerPool&);

}  // namespace trelvane
