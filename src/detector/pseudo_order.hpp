// Pseudo-ordering: the seed pixels in decreasing order of gradient magnitude,
// binned coarsely instead of sorted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "front_end.hpp"
#include "records.hpp"
#include "shared.hpp"

namespace trelvane {

inline constexpr std::size_t seed_bins = 1024;
// The number of the last bin, which the largest magnitude (q = 1) lands in.
inline constexpr float last_seed_bin = 1023.0f;
static_assert(last_seed_bin == seed_bins - 1);

// The bin of magnitude m when the largest magnitude is max, all in 32 bits.
inline std::size_t seed_bin(float m, float max) {
    const float q = m / max;
    const float v = q * last_seed_bin;
    return static_cast<std::size_t>(std::min<std::uint64_t>(saturating_u64(v), seed_bins - 1));
}

// Indices of the pixels whose magnitude is above threshold, from the strongest
// of 1024 magnitude bins to the weakest; increasing index within a bin.
// Single-threaded: the reference for order_seeds.
std::vector<std::uint32_t> pseudo_order(const GradientField& field, float threshold);

// The same order for the strong pixels of the front end's blocks (rho as the
// threshold), on the pool: per-block bin counts, offsets summed in (bin
// descending, block ascending) order, and a scatter of each block into its
// ranges. Blocks hold increasing index ranges, so within a bin the earlier
// block comes first and the order is exactly the sequential one.
FilledLater<std::uint32_t> order_seeds(std::span<const StrongPixels> blocks, WorkerPool& pool = process_pool());

}  // namespace trelvane
