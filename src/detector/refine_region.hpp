// Region refinement: a region that fills its rectangle too thinly is regrown
// with a tolerance estimated near its seed and, if still too thin, shrunk
// around the seed.
#pragma once

#include <cstdint>

#include "mask_access.hpp"
#include "records.hpp"

namespace trelvane {

// Fraction of its rectangle a region must fill.
inline constexpr double min_density = 0.7;

// True when region and rect now describe a dense enough candidate (rect is
// the rectangle of the region as it stands); false rejects the candidate.
// Pixels released by regrowth or shrinking are freed in used. Defined in
// refine_region-inl.hpp; refine_region.cpp instantiates the seed loops'
// views.
template <MaskView Mask>
bool refine_region(Region& region, Rect& rect, Mask& used, const GradientField& field,
                   std::uint64_t min_region_size);

// The same on the mask itself.
bool refine_region(Region& region, Rect& rect, UsedMask& used, const GradientField& field,
                   std::uint64_t min_region_size);

}  // namespace trelvane
