// Rectangle improvement: unless a rectangle is already meaningful, tries finer
// precisions, narrower widths and one-sided narrowings, and keeps the variant
// with the largest log_nfa.
#pragma once

#include <cstdint>
#include <span>

#include "records.hpp"

namespace trelvane {

// Returns the best log_nfa found and leaves its rectangle in rect. The other
// arguments are passed unchanged to rect_nfa.
double improve_rect(Rect& rect, std::span<const GradientRecord> field, float threshold,
                    double log_nt, std::uint64_t width, std::uint64_t height);

}  // namespace trelvane
