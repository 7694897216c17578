#include "refine_region-inl.hpp"

namespace trelvane {

template bool refine_region(Region&, Rect&, DirectMask&, const GradientField&, std::uint64_t);
template bool refine_region(Region&, Rect&, SharedMask&, const GradientField&, std::uint64_t);
template bool refine_region(Region&, Rect&, LoggedMask&, const GradientField&, std::uint64_t);

bool refine_region(Region& region, Rect& rect, UsedMask& used, const GradientField& field,
                   std::uint64_t min_region_size) {
    DirectMask mask(used);
    return refine_region(region, rect, mask, field, min_region_size);
}

}  // namespace trelvane
