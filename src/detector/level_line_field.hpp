// Level-line field: gradient magnitude and level-line direction per pixel,
// from the 2×2 neighbourhood anchored at the pixel.
#pragma once

#include <cmath>

#include "records.hpp"
#include "shared.hpp"

namespace trelvane {

struct Gradient {
    double gx, gy;
};

// Half-weighted differences of the 2×2 square with samples A B over C D,
// for doubles or for vectors of them, one pixel per lane (the front end's
// vector rows): one formula for both.
template <class V>
[[gnu::always_inline]] inline void square_gradient(V A, V B, V C, V D, V& gx, V& gy) {
    gx = (((B + D) - A) - C) * 0.5;
    gy = (((C + D) - A) - B) * 0.5;
}

// The same for the square with top-left samples top[0], bottom[0].
inline Gradient gradient_at(const double* top, const double* bottom) {
    Gradient g;
    square_gradient(top[0], top[1], bottom[0], bottom[1], g.gx, g.gy);
    return g;
}

// The gradient's hypot and the gradient turned by a quarter turn over it;
// undefined (all zero) when the magnitude is not above 0 (flat, or NaN).
inline GradientRecord level_line_record(Gradient g) {
    const double m = std::hypot(g.gx, g.gy);
    if (!(m > 0)) return GradientRecord{};
    return {static_cast<float>(m), static_cast<float>(-g.gy / m), static_cast<float>(g.gx / m)};
}

// Rows run on the pool; the result does not depend on its size. Records of
// the last row and column, and of flat or NaN neighbourhoods, stay zero.
// This is the reference the fused front end is compared with.
GradientField level_line_field(const GrayImage& image, WorkerPool& pool = process_pool());

}  // namespace trelvane
