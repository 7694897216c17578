// Gaussian downsampling: blur with a separable Gaussian whose width grows as
// the scale shrinks, then point-sample on the coarser grid.
#pragma once

#include <cstdint>
#include <vector>

#include "records.hpp"
#include "shared.hpp"

namespace trelvane {

// The scale test that skips downsampling: 1 <= scale, or unordered (NaN),
// keeps the input size.
inline bool downsamples(double scale) { return scale < 1; }

// max(floor(side × scale), 2) for each side, as the downsampled image has.
ImageSize downsampled_size(std::uint64_t width, std::uint64_t height, double scale);

// Source pixel of output pixel i along a side: trunc(i / scale), kept inside.
std::uint64_t downsample_source(std::uint64_t i, double scale, std::uint64_t side);

// The normalised kernel for a scale: 2n + 1 taps with n = ceil(3.7169… σ),
// σ = 0.6 / scale.
std::vector<double> gaussian_kernel(double scale);

// For scale < 1: the blurred image sampled at source pixel
// (floor(i / scale), floor(j / scale)), with clamp-to-edge borders.
GrayImage gaussian_downsample(const GrayImage& image, double scale, WorkerPool& pool = process_pool());

}  // namespace trelvane
