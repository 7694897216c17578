// The definition of region refinement, for every mask view:
// refine_region.cpp instantiates it for the seed loops' views, the tests for
// a recording one.
#pragma once

#include <cmath>

#include "grow_region-inl.hpp"
#include "mask_access.hpp"
#include "refine_region.hpp"
#include "region_to_rect.hpp"
#include "shared.hpp"

namespace trelvane {

namespace refine_detail {

inline double density(const Region& region, const Rect& rect) {
    const double length = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    const double area = length * rect.width;
    return static_cast<double>(region.size()) / (area > 1.0 ? area : 1.0);  // NaN area counts as 1
}

// The distance between two pixels, hypot(Δx, Δy) of their integer coordinate
// differences, compared with a radius r. The comparison is decided from the
// squares where it can be: Δx² + Δy² and r² are each within 2^-51 relative of
// their exact values (while r² is a normal number), and hypot is within one
// unit in the last place of the exact distance, so when the squares differ by
// more than 1e-12 relative, hypot and r stand in the same order. Otherwise,
// and for an r that is not positive and finite, hypot decides.
class PixelDistance {
public:
    PixelDistance(std::uint32_t from, const PixelGrid& grid, double r)
        : grid_(grid), x_(grid.x(from)), y_(grid.y(from)), r_(r), limit_(r * r),
          decisive_(r > 0 && limit_ >= 0x1p-960 && limit_ <= 0x1p960) {}

    bool below(std::uint32_t q) const {  // distance < r
        const Delta d = delta(q);
        if (decisive_) {
            const double squares = d.x * d.x + d.y * d.y;
            if (squares < limit_ * (1 - margin)) return true;
            if (squares > limit_ * (1 + margin)) return false;
        }
        return std::hypot(d.x, d.y) < r_;
    }
    bool above(std::uint32_t q) const {  // distance > r
        const Delta d = delta(q);
        if (decisive_) {
            const double squares = d.x * d.x + d.y * d.y;
            if (squares > limit_ * (1 + margin)) return true;
            if (squares < limit_ * (1 - margin)) return false;
        }
        return std::hypot(d.x, d.y) > r_;
    }

private:
    static constexpr double margin = 1e-12;
    struct Delta {
        double x, y;
    };
    Delta delta(std::uint32_t q) const {
        return {static_cast<double>(static_cast<std::int64_t>(grid_.x(q)) - x_),
                static_cast<double>(static_cast<std::int64_t>(grid_.y(q)) - y_)};
    }

    const PixelGrid& grid_;
    std::int64_t x_, y_;
    double r_, limit_;
    bool decisive_;
};

inline double pixel_angle(const GradientRecord& r) {
    return std::atan2(static_cast<double>(r.dir_y), static_cast<double>(r.dir_x));
}

// Twice the standard deviation of the angle differences to the seed, over the
// pixels closer to the seed than the rectangle is wide.
inline double seed_tolerance(const Region& region, const Rect& rect, const GradientField& field) {
    const std::uint32_t seed = region.front();
    const double seed_angle = pixel_angle(field.records[seed]);
    double sum = 0, sum_sq = 0, m = 0;
    const PixelGrid grid(field.width);
    const PixelDistance distance(seed, grid, rect.width);
    for (std::uint32_t q : region) {
        if (!distance.below(q)) continue;
        const double d = fold_angle(pixel_angle(field.records[q]) - seed_angle);
        sum = sum + d;
        sum_sq = sum_sq + d * d;
        m = m + 1;
    }
    const double mean = sum / m;
    const double var = sum_sq / m - mean * mean;
    return 2 * std::sqrt(var > 0.0 ? var : 0.0);  // a negative residue or NaN counts as 0
}

// Removes, in place, every pixel farther than rad from the seed (entry 0),
// moving the last entry into each gap, and frees it in used.
template <class Mask>
void drop_beyond(Region& region, Mask& used, const PixelGrid& grid, double rad) {
    const PixelDistance distance(region.front(), grid, rad);
    for (std::size_t i = 0; i < region.size();) {
        if (distance.above(region[i])) {
            used.release(region[i]);
            region[i] = region.back();
            region.pop_back();
        } else {
            ++i;
        }
    }
}

template <class Mask>
void check_indices(const Region& region, const Mask& used, const GradientField& field) {
    if (region.empty()) fail("refining an empty region");
    if (used.size() != field.records.size()) fail("used mask and field differ in size");
    for (std::uint32_t q : region)
        if (q >= field.records.size()) fail("region pixel outside the image");
}

}  // namespace refine_detail

template <MaskView Mask>
bool refine_region(Region& region, Rect& rect, Mask& used, const GradientField& field,
                   std::uint64_t min_region_size) {
    refine_detail::check_indices(region, used, field);
    if (refine_detail::density(region, rect) >= min_density) return true;

    // Regrow from the seed with a tolerance fitted to the pixels near it.
    const std::uint32_t seed = region.front();
    const double tolerance = refine_detail::seed_tolerance(region, rect, field);
    for (std::uint32_t q : region) used.release(q);
    const DirectionSum sum = grow_region(seed, tolerance, field, used, region);
    if (region.size() < min_region_size) return false;
    const double angle = sum.angle();
    rect = region_to_rect(region, field, angle, rect.p);
    if (refine_detail::density(region, rect) >= min_density) return true;

    // Shrink around the seed until dense enough or too small.
    const PixelGrid grid(field.width);
    const double sx = static_cast<double>(grid.x(seed)), sy = static_cast<double>(grid.y(seed));
    double rad = max_ignoring_nan(std::hypot(sx - rect.x1, sy - rect.y1), std::hypot(sx - rect.x2, sy - rect.y2));
    // A radius that is not finite would never shrink and the loop never end.
    if (!std::isfinite(rad)) return false;
    for (;;) {
        rad = rad * 0.75;
        refine_detail::drop_beyond(region, used, grid, rad);
        if (region.size() < min_region_size) return false;
        rect = region_to_rect(region, field, angle, rect.p);
        if (refine_detail::density(region, rect) >= min_density) return true;
    }
}

}  // namespace trelvane
