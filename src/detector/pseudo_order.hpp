// Pseudo-ordering: the seed pixels in decreasing order of gradient magnitude,
// binned coarsely instead of sorted.
#pragma once

#include <cstdint>
#include <vector>

#include "records.hpp"

namespace trelvane {

inline constexpr std::size_t seed_bins = 1024;

// Indices of the pixels whose magnitude is above threshold, from the strongest
// of 1024 magnitude bins to the weakest; increasing index within a bin.
std::vector<std::uint32_t> pseudo_order(const GradientField& field, float threshold);

}  // namespace trelvane
