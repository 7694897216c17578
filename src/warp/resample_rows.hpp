// The frame shared by remap and warp: the optional Lanczos table, the
// zero-filled output and the row-parallel loop. The filter and the row
// routine (scalar or one vector level) are chosen once per call.
#pragma once

#include <cstdint>

#include "shared.hpp"
#include "warp/filter.hpp"
#include "warp/isa_level.hpp"
#include "warp/sampling.hpp"
#include "warp/vector_rows.hpp"

namespace trelvane {

// make_rows() returns row_positions, where row_positions(y) gives the
// positions of output row y (a MapRow or a HomographyRow). It is called once
// the output exists, so that an output too large to allocate fails before any
// per-call table of positions is built.
template <class T, int C, class MakeRows>
Buffer<T> resample_rows(const SourceView<T, C>& src, Filter filter, IsaLevel level,
                        std::uint64_t out_width, std::uint64_t out_height, WorkerPool& pool,
                        MakeRows&& make_rows) {
    LanczosTable table;
    if (filter == Filter::Lanczos3) table = build_lanczos_table();
    const std::size_t row_length = checked_mul(out_width, C);
    Buffer<T> out = Buffer<T>::zeroed(checked_mul(row_length, out_height));
    const auto row_positions = make_rows();
    using Row = decltype(row_positions(std::size_t{}));
    const RowRoutine<T, C, Row> routine = filter == Filter::Bilinear
                                              ? row_routine<T, C, Filter::Bilinear, Row>(level, src)
                                              : row_routine<T, C, Filter::Lanczos3, Row>(level, src);
    for_each_row(out.span(), row_length, [&](std::size_t y, std::span<T> r) {
        routine(src, table, row_positions(y), out_width, r.data());
    }, pool);
    return out;
}

}  // namespace trelvane
