// Region to rectangle: the rectangle around a region's principal axis that
// contains every pixel's projection along and across it.
#pragma once

#include "records.hpp"

namespace trelvane {

// region: non-empty, indices inside the field. region_angle: the angle from
// grow_region, which fixes the sense of the axis. p is stored unchanged.
Rect region_to_rect(const Region& region, const GradientField& field, double region_angle, double p);

}  // namespace trelvane
