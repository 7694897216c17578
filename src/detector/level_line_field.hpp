// Level-line field: gradient magnitude and level-line direction per pixel,
// from the 2×2 neighbourhood anchored at the pixel.
#pragma once

#include "records.hpp"
#include "shared.hpp"

namespace trelvane {

// Rows run on the pool; the result does not depend on its size. Records of
// the last row and column, and of flat or NaN neighbourhoods, stay zero.
GradientField level_line_field(const GrayImage& image, WorkerPool& pool = process_pool());

}  // namespace trelvane
