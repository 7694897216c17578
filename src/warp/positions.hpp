// Where each output pixel samples the source. A row routine gets the
// positions of one output row as a plain record; position_at gives one
// pixel's position. The vector row routines compute the same values lane by
// lane with the same operations in the same order.
#pragma once

#include <array>
#include <cstddef>

#include "shared.hpp"

namespace trelvane {

using Homography = std::array<double, 9>;  // row-major H0 … H8

// A source position; an inactive one leaves its output pixel at 0.
struct Position {
    double x, y;
    bool active;
};

// One row of a coordinate-map remap: the row's entries of both maps.
struct MapRow {
    const float* map_x;
    const float* map_y;
};

inline Position position_at(const MapRow& row, std::size_t x) {
    return {static_cast<double>(row.map_x[x]), static_cast<double>(row.map_y[x]), true};
}

// One row of a perspective warp: the plane-to-source homography with the
// v-part of each of its rows evaluated once per row, and the plane's u of
// every output column (the same for every row).
struct HomographyRow {
    const Homography* H;
    const double* u;
    double A, B, C;  // H1·v + H2, H4·v + H5, v·H7 + H8
};

// Output pixel (c, r) stands for the plane point (u, v) = (c / scale + off_x,
// r / scale + off_y).
struct HomographyPlane {
    Homography H;
    double scale, off_y;
    Buffer<double> u;  // u of output columns 0 … out_width − 1
};

inline HomographyPlane homography_plane(const Homography& H, double scale, double off_x,
                                        double off_y, std::size_t out_width) {
    HomographyPlane plane{H, scale, off_y, Buffer<double>::zeroed(out_width)};
    for (std::size_t c = 0; c < out_width; ++c) plane.u.data[c] = static_cast<double>(c) / scale + off_x;
    return plane;
}

inline HomographyRow homography_row(const HomographyPlane& plane, std::size_t r) {
    const Homography& H = plane.H;
    const double v = static_cast<double>(r) / plane.scale + plane.off_y;
    return {&H, plane.u.data.get(), H[1] * v + H[2], H[4] * v + H[5], v * H[7] + H[8]};
}

// W = 0 is the point at infinity: the pixel stays 0. No other W is special.
inline Position position_at(const HomographyRow& row, std::size_t c) {
    const Homography& H = *row.H;
    const double u = row.u[c];
    const double W = H[6] * u + row.C;
    if (W == 0) return {0, 0, false};
    return {(u * H[0] + row.A) / W, (H[3] * u + row.B) / W, true};
}

}  // namespace trelvane
