// The definition of region growing, for every mask view: grow_region.cpp
// instantiates it for the seed loops' views, the tests for a recording one.
#pragma once

#include <cfloat>
#include <cmath>

#include "grow_region.hpp"
#include "mask_access.hpp"
#include "shared.hpp"

namespace trelvane {

namespace grow_detail {

// cos(pi/8), the cosine every driver growth uses: the same call on the same
// argument, made once.
inline const double cos_angle_tolerance = std::cos(angle_tolerance);

// The running state of one growth: the summed direction S and the
// acceptance threshold T = hypot(Sx, Sy) × cos(tolerance).
//
// T is needed only when a free neighbour is tested, so after an acceptance it
// is left stale until then. Even then the exact hypot is rarely needed:
// approx = sqrt(Sx² + Sy²) × c differs from T by less than 8 units in the last
// place of approx (hypot is within 1 ulp of |S|; the squares, their sum, the
// root and the product add at most 3.5 more while Sx² + Sy² stays a normal
// number), so whenever dot lies farther than 1e-14 × |approx| from approx,
// the sign of dot - approx is that of dot - T and decides the test exactly.
// A NaN on either side fails both margin tests and goes to hypot.
template <class Mask>
struct Growth {
    const GradientRecord* records;
    Mask& used;
    std::size_t width, height;
    Region& region;
    double cos_tolerance;
    double sx, sy;
    double threshold;
    bool stale = false;

    bool aligned(double dot) {
        if (stale) {
            const double squares = sx * sx + sy * sy;
            if (squares > DBL_MIN * 0x1p60) {
                const double approx = std::sqrt(squares) * cos_tolerance;
                const double margin = std::fabs(approx) * 1e-14;
                if (dot - approx > margin) return true;
                if (approx - dot > margin) return false;
            }
            threshold = std::hypot(sx, sy) * cos_tolerance;
            stale = false;
        }
        return !(threshold > dot);  // a NaN dot is accepted
    }

    // Takes q into the region when it is free and aligned with the sum.
    // Forced inline: the compiler leaves it a call per neighbour for the
    // speculative view, whose growths then ran a tenth more instructions.
    [[gnu::always_inline]] void accept_if_aligned(std::size_t q) {
        if (used.taken(q)) return;
        const double mx = records[q].dir_x, my = records[q].dir_y;
        const double dot = sx * mx + sy * my;
        if (!aligned(dot)) return;
        used.take(q);
        region.push_back(static_cast<std::uint32_t>(q));
        sx = sx + mx;
        sy = sy + my;
        stale = true;
    }

    // The eight neighbours, row by row, skipping those outside the image.
    void visit_neighbours(std::uint32_t p, const PixelGrid& grid) {
        const std::size_t w = width, h = height;
        const std::size_t x = grid.x(p), y = grid.y(p);
        if (x >= 1 && x + 2 <= w && y >= 1 && y + 2 <= h) {
            accept_if_aligned(p - w - 1), accept_if_aligned(p - w), accept_if_aligned(p - w + 1);
            accept_if_aligned(p - 1), accept_if_aligned(p + 1);
            accept_if_aligned(p + w - 1), accept_if_aligned(p + w), accept_if_aligned(p + w + 1);
            return;
        }
        for (std::size_t ny = y == 0 ? 0 : y - 1; ny <= y + 1 && ny < h; ++ny)
            for (std::size_t nx = x == 0 ? 0 : x - 1; nx <= x + 1 && nx < w; ++nx)
                if (nx != x || ny != y) accept_if_aligned(ny * w + nx);
    }
};

}  // namespace grow_detail

template <MaskView Mask>
DirectionSum grow_region(std::uint32_t seed, double tolerance, const GradientField& field, Mask& used,
                         Region& region) {
    if (seed >= field.records.size() || used.size() != field.records.size() ||
        field.records.size() != field.width * field.height)
        fail("region seed outside the image");
    const GradientRecord& first = field.records[seed];
    const double c = tolerance == angle_tolerance ? grow_detail::cos_angle_tolerance : std::cos(tolerance);
    grow_detail::Growth<Mask> growth{field.records.data(), used, field.width, field.height, region, c, first.dir_x, first.dir_y, c};
    region.clear();
    region.push_back(seed);
    used.take(seed);
    const PixelGrid grid(field.width);
    for (std::size_t k = 0; k < region.size(); ++k) growth.visit_neighbours(region[k], grid);
    return {growth.sx, growth.sy};
}

}  // namespace trelvane
