// The frame shared by remap and warp: the optional Lanczos table, the
// zero-filled output and the row-parallel loop, with the filter chosen once
// per call so that each row routine is compiled for one kernel.
#pragma once

#include <cstdint>

#include "../shared.hpp"
#include "filter.hpp"
#include "sampling.hpp"

namespace trelvane {

// row(y, out_row, sample) fills output row y, calling
// sample(source_view, x, y, destination) for each pixel it samples.
template <class T, int C, class Row>
Buffer<T> resample_rows(Filter filter, std::uint64_t out_width, std::uint64_t out_height,
                        WorkerPool& pool, Row&& row) {
    LanczosTable table;
    if (filter == Filter::Lanczos3) table = build_lanczos_table();
    const std::size_t row_length = checked_mul(out_width, C);
    Buffer<T> out = Buffer<T>::zeroed(checked_mul(row_length, out_height));
    const auto run = [&](auto sample) {
        for_each_row(out.span(), row_length,
                     [&](std::size_t y, std::span<T> r) { row(y, r.data(), sample); }, pool);
    };
    if (filter == Filter::Bilinear)
        run([](const auto& src, double x, double y, T* dest) { sample_bilinear(src, x, y, dest); });
    else
        run([&table](const auto& src, double x, double y, T* dest) {
            sample_lanczos3(src, table, x, y, dest);
        });
    return out;
}

}  // namespace trelvane
