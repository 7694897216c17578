// pseudo_order is the plain ordering stage, run only by the reference
// pipeline (Pipeline::reference) and the tests; detect runs order_seeds
// (below) on the strong pixels the fused front end (front_end.cpp) collects.
// Both bin with seed_bin (pseudo_order.hpp): a change there changes both; a
// change to pseudo_order changes only the reference detect is tested against.
#include "pseudo_order.hpp"

namespace trelvane {

std::vector<std::uint32_t> pseudo_order(const GradientField& field, float threshold) {
    const auto& records = field.records;
    if (records.size() > std::size_t{UINT32_MAX} + 1) fail("pixel indices exceed 32 bits");

    float max = 0.0f;
    for (const GradientRecord& r : records) max = max_ignoring_nan(max, r.magnitude);
    if (!(max > 0)) return {};

    std::vector<std::vector<std::uint32_t>> bins(seed_bins);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const float m = records[i].magnitude;
        if (!(m > threshold)) continue;
        bins[seed_bin(m, max)].push_back(static_cast<std::uint32_t>(i));
    }

    std::vector<std::uint32_t> seeds;
    for (std::size_t b = seed_bins; b-- > 0;) seeds.insert(seeds.end(), bins[b].begin(), bins[b].end());
    return seeds;
}

FilledLater<std::uint32_t> order_seeds(std::span<const StrongPixels> blocks, WorkerPool& pool) {
    // The largest magnitude of the field is that of its strongest pixel
    // whenever any pixel is strong (rho > 0), and magnitudes are never NaN.
    float max = 0.0f;
    for (const StrongPixels& b : blocks) max = max_ignoring_nan(max, b.max);
    if (!(max > 0)) return {};

    std::vector<std::vector<std::size_t>> offsets(blocks.size());
    pool.run(blocks.size(), [&](std::size_t b) {
        std::vector<std::size_t> counts(seed_bins, 0);
        for (const StrongPixel& p : blocks[b].pixels) ++counts[seed_bin(p.magnitude, max)];
        offsets[b] = std::move(counts);
    });
    std::size_t total = 0;
    for (std::size_t bin = seed_bins; bin-- > 0;)
        for (auto& block : offsets) {
            const std::size_t count = block[bin];
            block[bin] = total;
            total += count;
        }

    FilledLater<std::uint32_t> seeds(total);
    pool.run(blocks.size(), [&](std::size_t b) {
        std::vector<std::size_t>& next = offsets[b];
        for (const StrongPixel& p : blocks[b].pixels) seeds[next[seed_bin(p.magnitude, max)]++] = p.index;
    });
    return seeds;
}

}  // namespace trelvane
