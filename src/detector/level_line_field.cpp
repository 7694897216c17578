#include "level_line_field.hpp"

#include <cmath>

namespace trelvane {

GradientField level_line_field(const GrayImage& image, WorkerPool& pool) {
    const std::size_t w = image.width, h = image.height;
    const std::size_t count = checked_mul(w, h);
    if (image.samples.size() != count) fail("image length does not match its size");
    GradientField field{w, h, std::vector<GradientRecord>(count)};
    if (w < 2 || h < 2) return field;  // every pixel is in the last row or column

    // Only the first h - 1 rows have a row below them.
    std::span<GradientRecord> rows(field.records.data(), (h - 1) * w);
    const double* samples = image.samples.data();
    for_each_row(rows, w, [&](std::size_t y, std::span<GradientRecord> row) {
        const double* top = samples + y * w;
        const double* bottom = top + w;
        for (std::size_t x = 0; x + 1 < w; ++x) {
            const double A = top[x], B = top[x + 1], C = bottom[x], D = bottom[x + 1];
            const double gx = (((B + D) - A) - C) * 0.5;
            const double gy = (((C + D) - A) - B) * 0.5;
            const double m = std::hypot(gx, gy);
            if (m > 0)
                row[x] = {static_cast<float>(m), static_cast<float>(-gy / m), static_cast<float>(gx / m)};
        }
    }, pool);
    return field;
}

}  // namespace trelvane
