// The detector's shared records and constants: the working image, the used
// mask, the level-line field, regions and rectangles. Pixel (x, y) of an image
// of width w has the 32-bit index y × w + x everywhere in the detector.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "detector/uninitialised_allocator.hpp"
#include "shared.hpp"

namespace trelvane {

// Gradient magnitude threshold, always compared as a 32-bit float.
inline constexpr float rho = 5.226252f;
static_assert(std::bit_cast<std::uint32_t>(rho) == 0x40A73D75u);

inline constexpr double pi = 3.141592653589793;
inline constexpr double two_pi = 6.283185307179586;
// Angle tolerance of region growing and of every fitted rectangle: pi/8.
inline constexpr double angle_tolerance = 0.39269908169872414;
// Probability that a pixel is aligned by chance at that tolerance.
inline constexpr double aligned_probability = 0.125;

struct ImageSize {
    std::uint64_t width, height;
};

// The detector's working image: 64-bit samples, row-major, either borrowed
// from the caller or held in `owned`.
struct GrayImage {
    std::size_t width = 0;
    std::size_t height = 0;
    std::span<const double> samples;
    std::vector<double> owned;

    static GrayImage borrowing(std::size_t width, std::size_t height, std::span<const double> samples) {
        return GrayImage(width, height, samples, {});
    }
    static GrayImage owning(std::size_t width, std::size_t height, std::vector<double> samples) {
        GrayImage image(width, height, {}, std::move(samples));
        image.samples = image.owned;
        return image;
    }

    // A copy's samples would point into the original's `owned`: an image is
    // moved (which keeps the vector's buffer), never copied.
    GrayImage(const GrayImage&) = delete;
    GrayImage& operator=(const GrayImage&) = delete;
    GrayImage(GrayImage&&) = default;
    GrayImage& operator=(GrayImage&&) = default;

private:
    GrayImage(std::size_t w, std::size_t h, std::span<const double> s, std::vector<double> o)
        : width(w), height(h), samples(s), owned(std::move(o)) {}
};

// One byte per pixel: 0 = free, anything else = too weak or already taken.
using UsedMask = FilledLater<std::uint8_t>;

// Gradient magnitude and the unit vector of the level-line direction
// (cosine, sine). All zero where undefined. GradientRecord{} is all zero; a
// default-initialised record is not initialised.
struct GradientRecord {
    float magnitude;
    float dir_x;
    float dir_y;
};

struct GradientField {
    std::size_t width = 0;
    std::size_t height = 0;
    FilledLater<GradientRecord> records;  // width × height, row-major
};

// Column and row of a 32-bit pixel index, without a division instruction.
// With M = floor((2^64 - 1) / w) + 1, floor(n / w) = (M × n) >> 64 exactly
// for every 32-bit n and every 32-bit w ≥ 2 (Lemire, Kaser and Kurz, "Faster
// remainder by direct computation", 2019, for 32-bit operands and a 64-bit M).
class PixelGrid {
public:
    explicit PixelGrid(std::size_t width) : width_(static_cast<std::uint32_t>(width)), m_(UINT64_MAX / width + 1) {
        if (width < 2 || width > UINT32_MAX) fail("pixel grid width outside 2 ... 2^32 - 1");
    }
    std::uint32_t y(std::uint32_t n) const {
        return static_cast<std::uint32_t>((static_cast<unsigned __int128>(m_) * n) >> 64);
    }
    std::uint32_t x(std::uint32_t n) const { return n - y(n) * width_; }

private:
    std::uint32_t width_;
    std::uint64_t m_;
};

// Pixel indices, seed first, then in order of acceptance.
using Region = std::vector<std::uint32_t>;

// A rectangle around a central line from (x1, y1) to (x2, y2) with unit
// direction (dx, dy), full width `width`, angle tolerance `prec` (radians) and
// chance probability `p` of an aligned pixel.
struct Rect {
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    double width = 0;
    double dx = 0, dy = 0;
    double prec = 0;
    double p = 0;
    bool operator==(const Rect&) const = default;
};

// Running minimum and maximum that ignore a NaN operand.
template <class F>
inline F min_ignoring_nan(F running, F v) { return v < running || running != running ? v : running; }
template <class F>
inline F max_ignoring_nan(F running, F v) { return v > running || running != running ? v : running; }

// Folds an angle difference into (-pi, pi] by whole turns. Differences of
// angles from atan2 need at most one turn; a non-finite one is left as it is.
inline double fold_angle(double d) {
    if (!std::isfinite(d)) return d;
    while (d <= -pi) d += two_pi;
    while (d > pi) d -= two_pi;
    return d;
}

}  // namespace trelvane
