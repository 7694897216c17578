// Region growing: the connected free pixels whose level-line direction agrees
// with the region's mean direction within a tolerance, breadth first.
#pragma once

#include <cstdint>

#include "records.hpp"

namespace trelvane {

// Clears region and refills it from seed (entry 0), marking every accepted
// pixel in used. Returns the region angle atan2(Sy, Sx) of the summed
// directions. The seed must be free and inside the field.
double grow_region(std::uint32_t seed, double tolerance, const GradientField& field, UsedMask& used,
                   Region& region);

}  // namespace trelvane
