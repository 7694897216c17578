// The detector driver: from the samples of a grayscale image to its validated
// line segments, longest first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "records.hpp"
#include "segment.hpp"
#include "shared.hpp"

namespace trelvane {

// Size of the working image for a scale: the input size at a scale of 1 or
// more (or NaN), else the downsampled size.
ImageSize working_size(std::uint64_t width, std::uint64_t height, double scale);

// Longest first by hypot(x2 - x1, y2 - y1) under IEEE 754 totalOrder; equal
// lengths keep their order.
void sort_longest_first(std::vector<Segment>& segments);

// Instantiated for double, float, std::uint8_t and std::uint16_t samples
// (uint16 samples are divided by 257). A working image of 2^32 pixels or more
// is an internal failure: callers reject such input first.
template <class T>
Checked<std::vector<Segment>> detect_segments(std::span<const T> samples, std::uint64_t width,
                                              std::uint64_t height, double scale,
                                              WorkerPool& pool = process_pool());

}  // namespace trelvane
