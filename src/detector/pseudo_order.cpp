#include "pseudo_order.hpp"

#include "shared.hpp"

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
        const float q = m / max;
        const float v = q * 1023.0f;
        const std::uint64_t bin = std::min<std::uint64_t>(saturating_u64(v), seed_bins - 1);
        bins[bin].push_back(static_cast<std::uint32_t>(i));
    }

    std::vector<std::uint32_t> seeds;
    for (std::size_t b = seed_bins; b-- > 0;) seeds.insert(seeds.end(), bins[b].begin(), bins[b].end());
    return seeds;
}

}  // namespace trelvane
