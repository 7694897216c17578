// The detector's front end: from the caller's samples to the level-line
// field, the initial used mask and the pixels strong enough to be seeds, in
// one row-block-parallel pass with no full-size intermediate image.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "records.hpp"
#include "shared.hpp"
#include "warp/isa_level.hpp"

namespace trelvane {

// A pixel whose magnitude is above rho.
struct StrongPixel {
    std::uint32_t index;
    float magnitude;
};

// The strong pixels of one block of rows in increasing index order, and the
// largest of their magnitudes (0 when there is none).
struct StrongPixels {
    std::vector<StrongPixel> pixels;
    float max = 0;
};

struct FrontEnd {
    GradientField field;
    UsedMask used;                      // 1 where magnitude <= rho, else 0
    std::vector<StrongPixels> blocks;   // consecutive blocks of rows, top to bottom
};

// Field rows per block of the front end's parallel loop.
inline constexpr std::size_t front_end_block_rows = 32;

// The working image of scale (downsampled when scale < 1, as
// gaussian_downsample does) turned into a FrontEnd, reading the samples
// (double, float, uint8 or uint16 / 257) in place. The working image must be
// at least 3 × 3 with fewer than 2^32 pixels. A record whose magnitude is at
// most rho may be left all zero (no hypot) where a proven bound shows it weak;
// every other record, the mask and the strong pixels are exactly what the plain
// stages give. The blur's taps are summed at `level` (front_end_rows.hpp).
template <class T>
FrontEnd fused_front_end(std::span<const T> samples, std::size_t width, std::size_t height, double scale,
                         WorkerPool& pool = process_pool(), IsaLevel level = active_isa_level());

// The field and the mask from the plain stages (conversion,
// gaussian_downsample, level_line_field, then the mask), with no blocks of
// strong pixels: the reference path orders its seeds from the field with
// pseudo_order. The reference the fused pass is tested against.
template <class T>
FrontEnd reference_front_end(std::span<const T> samples, std::size_t width, std::size_t height, double scale,
                             WorkerPool& pool = process_pool());

}  // namespace trelvane
