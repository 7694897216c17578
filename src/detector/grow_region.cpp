#include "grow_region.hpp"

#include <cmath>

#include "shared.hpp"

namespace trelvane {

namespace {

// The running state of one growth: the summed direction S and the
// acceptance threshold T = |S| cos(tolerance).
struct Growth {
    const GradientField& field;
    UsedMask& used;
    Region& region;
    double cos_tolerance;
    double sx, sy;
    double threshold;

    void test(std::size_t q) {
        if (used[q]) return;
        const double mx = field.records[q].dir_x, my = field.records[q].dir_y;
        const double dot = sx * mx + sy * my;
        if (threshold > dot) return;  // a NaN dot is accepted
        used[q] = 1;
        region.push_back(static_cast<std::uint32_t>(q));
        sx = sx + mx;
        sy = sy + my;
        threshold = std::hypot(sx, sy) * cos_tolerance;
    }

    // The eight neighbours, row by row, skipping those outside the image.
    void visit_neighbours(std::size_t p) {
        const std::size_t w = field.width, h = field.height;
        const std::size_t x = p % w, y = p / w;
        if (x >= 1 && x + 2 <= w && y >= 1 && y + 2 <= h) {
            test(p - w - 1), test(p - w), test(p - w + 1), test(p - 1);
            test(p + 1), test(p + w - 1), test(p + w), test(p + w + 1);
            return;
        }
        for (std::size_t ny = y == 0 ? 0 : y - 1; ny <= y + 1 && ny < h; ++ny)
            for (std::size_t nx = x == 0 ? 0 : x - 1; nx <= x + 1 && nx < w; ++nx)
                if (nx != x || ny != y) test(ny * w + nx);
    }
};

}  // namespace

double grow_region(std::uint32_t seed, double tolerance, const GradientField& field, UsedMask& used,
                   Region& region) {
    if (seed >= field.records.size() || used.size() != field.records.size() ||
        field.records.size() != field.width * field.height)
        fail("region seed outside the image");
    const GradientRecord& s = field.records[seed];
    const double c = std::cos(tolerance);
    Growth g{field, used, region, c, s.dir_x, s.dir_y, c};
    region.clear();
    region.push_back(seed);
    used[seed] = 1;
    for (std::size_t k = 0; k < region.size(); ++k) g.visit_neighbours(region[k]);
    return std::atan2(g.sy, g.sx);
}

}  // namespace trelvane
