// Coordinate-map remap: output pixel (x, y) samples the source at
// (map_x[y, x], map_y[y, x]). The maps' shape is the output's shape.
#pragma once

#include <cstdint>
#include <span>

#include "shared.hpp"
#include "warp/filter.hpp"
#include "warp/isa_level.hpp"

namespace trelvane {

// Instantiated for 8-bit and 16-bit samples with 1 or 3 interleaved channels.
// Returns out_width × out_height × C samples, or the first length mismatch.
template <class T, int C>
Checked<Buffer<T>> remap_image(std::span<const T> source, std::uint64_t width,
                               std::uint64_t height, std::span<const float> map_x,
                               std::span<const float> map_y, std::uint64_t out_width,
                               std::uint64_t out_height, Filter filter,
                               IsaLevel level = active_isa_level(),
                               WorkerPool& pool = process_pool());

}  // namespace trelvane
