#include "refine_region.hpp"

#include <cmath>

#include "grow_region.hpp"
#include "region_to_rect.hpp"
#include "shared.hpp"

namespace trelvane {

namespace {

double density(const Region& region, const Rect& rect) {
    const double length = std::hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    const double area = length * rect.width;
    return static_cast<double>(region.size()) / (area > 1.0 ? area : 1.0);  // NaN area counts as 1
}

// Distance between two pixels, from their integer coordinate differences.
double pixel_distance(std::uint32_t a, std::uint32_t b, const PixelGrid& grid) {
    const auto ax = static_cast<std::int64_t>(grid.x(a)), ay = static_cast<std::int64_t>(grid.y(a));
    const auto bx = static_cast<std::int64_t>(grid.x(b)), by = static_cast<std::int64_t>(grid.y(b));
    return std::hypot(static_cast<double>(bx - ax), static_cast<double>(by - ay));
}

double pixel_angle(const GradientRecord& r) {
    return std::atan2(static_cast<double>(r.dir_y), static_cast<double>(r.dir_x));
}

// Twice the standard deviation of the angle differences to the seed, over the
// pixels closer to the seed than the rectangle is wide.
double seed_tolerance(const Region& region, const Rect& rect, const GradientField& field) {
    const std::uint32_t seed = region.front();
    const double seed_angle = pixel_angle(field.records[seed]);
    double sum = 0, sum_sq = 0, m = 0;
    const PixelGrid grid(field.width);
    for (std::uint32_t q : region) {
        if (!(pixel_distance(seed, q, grid) < rect.width)) continue;
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
void drop_beyond(Region& region, UsedMask& used, const PixelGrid& grid, double rad) {
    const std::uint32_t seed = region.front();
    for (std::size_t i = 0; i < region.size();) {
        if (pixel_distance(seed, region[i], grid) > rad) {
            used[region[i]] = 0;
            region[i] = region.back();
            region.pop_back();
        } else {
            ++i;
        }
    }
}

void check_indices(const Region& region, const UsedMask& used, const GradientField& field) {
    if (region.empty()) fail("refining an empty region");
    if (used.size() != field.records.size()) fail("used mask and field differ in size");
    for (std::uint32_t q : region)
        if (q >= field.records.size()) fail("region pixel outside the image");
}

}  // namespace

bool refine_region(Region& region, Rect& rect, UsedMask& used, const GradientField& field,
                   std::uint64_t min_region_size) {
    check_indices(region, used, field);
    if (density(region, rect) >= min_density) return true;

    // Regrow from the seed with a tolerance fitted to the pixels near it.
    const std::uint32_t seed = region.front();
    const double tolerance = seed_tolerance(region, rect, field);
    for (std::uint32_t q : region) used[q] = 0;
    const DirectionSum sum = grow_region_sum(seed, tolerance, field, used, region);
    if (region.size() < min_region_size) return false;
    const double angle = sum.angle();
    rect = region_to_rect(region, field, angle, rect.p);
    if (density(region, rect) >= min_density) return true;

    // Shrink around the seed until dense enough or too small.
    const PixelGrid grid(field.width);
    const double sx = static_cast<double>(grid.x(seed)), sy = static_cast<double>(grid.y(seed));
    double rad = max_ignoring_nan(std::hypot(sx - rect.x1, sy - rect.y1), std::hypot(sx - rect.x2, sy - rect.y2));
    // A radius that is not finite would never shrink and the loop never end.
    if (!std::isfinite(rad)) return false;
    for (;;) {
        rad = rad * 0.75;
        drop_beyond(region, used, grid, rad);
        if (region.size() < min_region_size) return false;
        rect = region_to_rect(region, field, angle, rect.p);
        if (density(region, rect) >= min_density) return true;
    }
}

}  // namespace trelvane
