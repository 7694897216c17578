// Region growing: the connected free pixels whose level-line direction agrees
// with the region's mean direction within a tolerance, breadth first.
#pragma once

#include <cmath>
#include <cstdint>

#include "mask_access.hpp"
#include "records.hpp"

namespace trelvane {

// The sum of the unit level-line vectors of a region's pixels.
struct DirectionSum {
    double x, y;
    // The region angle, atan2(Sy, Sx).
    double angle() const { return std::atan2(y, x); }
};

// Clears region and refills it from seed (entry 0), marking every accepted
// pixel in used. Returns the summed direction of the accepted pixels. The
// seed must be free and inside the field. Defined in grow_region-inl.hpp; grow_region.cpp instantiates the seed
// loops' views.
template <MaskView Mask>
DirectionSum grow_region(std::uint32_t seed, double tolerance, const GradientField& field, Mask& used,
                         Region& region);

// The same on the mask itself.
DirectionSum grow_region(std::uint32_t seed, double tolerance, const GradientField& field, UsedMask& used,
                         Region& region);

}  // namespace trelvane
