#include "grow_region-inl.hpp"

namespace trelvane {

template DirectionSum grow_region(std::uint32_t, double, const GradientField&, DirectMask&, Region&);
template DirectionSum grow_region(std::uint32_t, double, const GradientField&, SharedMask&, Region&);
template DirectionSum grow_region(std::uint32_t, double, const GradientField&, LoggedMask&, Region&);

DirectionSum grow_region(std::uint32_t seed, double tolerance, const GradientField& field, UsedMask& used,
                         Region& region) {
    DirectMask mask(used);
    return grow_region(seed, tolerance, field, mask, region);
}

}  // namespace trelvane
