// Perspective warp: output pixel (c, r) stands for the plane point
// (c / scale + off_x, r / scale + off_y), which the inverse homography H maps
// into the source, sampled there. RGB only.
#pragma once

#include <cstdint>
#include <span>

#include "shared.hpp"
#include "warp/filter.hpp"
#include "warp/isa_level.hpp"
#include "warp/positions.hpp"

namespace trelvane {

// Instantiated for 8-bit and 16-bit samples, 3 interleaved channels.
template <class T>
Checked<Buffer<T>> warp_image(std::span<const T> source, std::uint64_t width,
                              std::uint64_t height, std::uint64_t out_width,
                              std::uint64_t out_height, const Homography& H, double scale,
                              double off_x, double off_y, Filter filter,
                              IsaLevel level = active_isa_level(),
                              WorkerPool& pool = process_pool());

}  // namespace trelvane
