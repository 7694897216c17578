// The plain level-line stage, run only by the reference pipeline
// (Pipeline::reference) and the tests. detect runs the fused front end
// (front_end.cpp), which computes the same records in one pass with the
// downsampling and the used mask. Both take the per-pixel arithmetic from
// gradient_at and level_line_record (level_line_field.hpp): a change there
// changes both; a change here changes only the reference detect is tested
// against.
#include "level_line_field.hpp"

namespace trelvane {

GradientField level_line_field(const GrayImage& image, WorkerPool& pool) {
    const std::size_t w = image.width, h = image.height;
    const std::size_t count = checked_mul(w, h);
    if (image.samples.size() != count) fail("image length does not match its size");
    GradientField field{w, h, FilledLater<GradientRecord>(count, GradientRecord{})};
    if (w < 2 || h < 2) return field;  // every pixel is in the last row or column

    // Only the first h - 1 rows have a row below them.
    std::span<GradientRecord> rows(field.records.data(), (h - 1) * w);
    const double* samples = image.samples.data();
    for_each_row(rows, w, [&](std::size_t y, std::span<GradientRecord> row) {
        const double* top = samples + y * w;
        for (std::size_t x = 0; x + 1 < w; ++x) row[x] = level_line_record(gradient_at(top + x, top + w + x));
    }, pool);
    return field;
}

}  // namespace trelvane
