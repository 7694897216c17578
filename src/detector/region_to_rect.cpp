#include "region_to_rect.hpp"

#include <cmath>

namespace trelvane {

namespace {

struct Point {
    double x, y;
};

Point position(std::uint32_t q, const PixelGrid& grid) {
    return {static_cast<double>(grid.x(q)), static_cast<double>(grid.y(q))};
}

// Running extremes that start at 0: a NaN operand fails the comparison and
// leaves the running value, which is therefore never NaN itself, so this is
// exactly min_ignoring_nan / max_ignoring_nan without the test of the running
// value, and compiles to a branch-free minimum or maximum.
double lower(double running, double v) { return v < running ? v : running; }
double higher(double running, double v) { return v > running ? v : running; }

// Centre of mass weighted by gradient magnitude.
Point centre_of(const Region& region, const GradientField& field, const PixelGrid& grid) {
    double W = 0, Sx = 0, Sy = 0;
    for (std::uint32_t q : region) {
        const double w = field.records[q].magnitude;
        const Point at = position(q, grid);
        W = W + w;
        Sx = Sx + w * at.x;
        Sy = Sy + w * at.y;
    }
    return {Sx / W, Sy / W};
}

// Direction of the axis of largest spread: the eigenvector of the second
// moments belonging to the smaller eigenvalue, in either sense.
double principal_angle(const Region& region, const GradientField& field, const PixelGrid& grid, Point c) {
    double Mxx = 0, Myy = 0, Mxy = 0;
    for (std::uint32_t q : region) {
        const double w = field.records[q].magnitude;
        const Point at = position(q, grid);
        const double px = at.x - c.x, py = at.y - c.y;
        Mxx = Mxx + px * (w * px);
        Myy = Myy + py * (w * py);
        Mxy = Mxy - py * (w * px);
    }
    const double spread = Myy - Mxx;
    const double lambda = 0.5 * ((Mxx + Myy) - std::sqrt(4 * Mxy * Mxy + spread * spread));
    return std::fabs(Myy - lambda) > std::fabs(Mxx - lambda) ? std::atan2(lambda - Myy, Mxy)
                                                              : std::atan2(Mxy, lambda - Mxx);
}

}  // namespace

Rect region_to_rect(const Region& region, const GradientField& field, double region_angle, double p) {
    const PixelGrid grid(field.width);
    const Point c = centre_of(region, field, grid);
    double theta = principal_angle(region, field, grid, c);
    // Point the axis the way the region's level lines run.
    if (std::fabs(fold_angle(theta - region_angle)) > angle_tolerance) theta = theta + pi;
    const double dx = std::cos(theta), dy = std::sin(theta);

    double lmin = 0, lmax = 0, wmin = 0, wmax = 0;
    for (std::uint32_t q : region) {
        const Point at = position(q, grid);
        const double px = at.x - c.x, py = at.y - c.y;
        const double l = dx * px + dy * py;
        const double v = dx * py - dy * px;
        lmin = lower(lmin, l);
        lmax = higher(lmax, l);
        wmin = lower(wmin, v);
        wmax = higher(wmax, v);
    }
    const double spread = wmax - wmin;
    Rect r;
    r.x1 = lmin * dx + c.x;
    r.y1 = lmin * dy + c.y;
    r.x2 = lmax * dx + c.x;
    r.y2 = lmax * dy + c.y;
    r.width = spread > 1.0 ? spread : 1.0;  // a NaN spread gives 1.0 too
    r.dx = dx;
    r.dy = dy;
    r.prec = angle_tolerance;
    r.p = p;
    return r;
}

}  // namespace trelvane
