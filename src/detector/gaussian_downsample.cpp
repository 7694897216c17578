// The plain downsampling stage, run only by the reference pipeline
// (Pipeline::reference) and the tests. detect runs the fused front end
// (front_end.cpp), which blurs and samples the same rows on the way to the
// level-line field. Both take the kernel, the sampled rows and columns and the
// output size from gaussian_kernel, downsample_source and downsampled_size
// (this file, declared in gaussian_downsample.hpp): a change to those changes
// both; a change to the blur passes here changes only the reference detect is
// tested against.
#include "gaussian_downsample.hpp"

#include <algorithm>
#include <cmath>

namespace trelvane {

namespace {

// sqrt(2 ln 1000): σ times this is where the Gaussian has fallen to 1/1000 of
// its peak, and where the kernel is cut.
constexpr double sqrt_2_ln_1000 = 3.7169221888498383;

std::uint64_t downsampled_side(std::uint64_t side, double scale) {
    return std::max<std::uint64_t>(saturating_u64(std::floor(static_cast<double>(side) * scale)), 2);
}

// Horizontal pass of one row, tap by tap: interior samples take one
// multiply-add each; samples whose tap falls beyond an edge add the
// precomputed product with that edge sample.
void blur_row(const double* in, double* out, std::size_t w, const std::vector<double>& kernel) {
    const std::int64_t n = static_cast<std::int64_t>(kernel.size() / 2);
    const auto width = static_cast<std::int64_t>(w);
    for (std::size_t k = 0; k < kernel.size(); ++k) {
        const double g = kernel[k];
        const std::int64_t offset = static_cast<std::int64_t>(k) - n;
        // Outputs x in [begin, end) read in[x + offset] inside the row.
        const std::int64_t begin = std::clamp<std::int64_t>(-offset, 0, width);
        const std::int64_t end = std::clamp<std::int64_t>(width - offset, begin, width);
        const double left = g * in[0], right = g * in[w - 1];
        for (std::int64_t x = 0; x < begin; ++x) out[x] = out[x] + left;
        for (std::int64_t x = begin; x < end; ++x) out[x] = out[x] + g * in[x + offset];
        for (std::int64_t x = end; x < width; ++x) out[x] = out[x] + right;
    }
}

}  // namespace

std::uint64_t downsample_source(std::uint64_t i, double scale, std::uint64_t side) {
    return std::min(saturating_u64(static_cast<double>(i) / scale), side - 1);
}

ImageSize downsampled_size(std::uint64_t width, std::uint64_t height, double scale) {
    return {downsampled_side(width, scale), downsampled_side(height, scale)};
}

std::vector<double> gaussian_kernel(double scale) {
    const double sigma = 0.6 / scale;
    const std::uint64_t n = saturating_u64(std::ceil(sigma * sqrt_2_ln_1000));
    if (n > (SIZE_MAX - 1) / 2) throw std::bad_alloc();  // 2n + 1 taps cannot be represented
    std::vector<double> kernel(2 * n + 1);
    double sum = -0.0;
    for (std::size_t k = 0; k < kernel.size(); ++k) {
        const double t = (static_cast<double>(k) - static_cast<double>(n)) / sigma;
        kernel[k] = std::exp(t * t * -0.5);
        sum = sum + kernel[k];
    }
    for (double& g : kernel) g = g / sum;
    return kernel;
}

GrayImage gaussian_downsample(const GrayImage& image, double scale, WorkerPool& pool) {
    const std::size_t w = image.width, h = image.height;
    if (w == 0 || h == 0 || image.samples.size() != checked_mul(w, h))
        fail("downsampling an image whose length does not match its size");
    const ImageSize size = downsampled_size(w, h, scale);
    const std::vector<double> kernel = gaussian_kernel(scale);
    const std::size_t n = kernel.size() / 2;

    std::vector<double> across(w * h);  // after the horizontal pass
    for_each_row(std::span<double>(across), w, [&](std::size_t y, std::span<double> row) {
        blur_row(image.samples.data() + y * w, row.data(), w, kernel);
    }, pool);

    std::vector<double> blurred(w * h);  // after the vertical pass
    for_each_row(std::span<double>(blurred), w, [&](std::size_t y, std::span<double> row) {
        for (std::size_t k = 0; k < kernel.size(); ++k) {
            const auto source = std::clamp<std::int64_t>(static_cast<std::int64_t>(y + k) - static_cast<std::int64_t>(n),
                                                         0, static_cast<std::int64_t>(h) - 1);
            const double* in = across.data() + static_cast<std::size_t>(source) * w;
            const double g = kernel[k];
            for (std::size_t x = 0; x < w; ++x) row[x] = row[x] + g * in[x];
        }
    }, pool);

    std::vector<std::uint64_t> columns(size.width);
    for (std::uint64_t i = 0; i < size.width; ++i) columns[i] = downsample_source(i, scale, w);
    std::vector<double> out(checked_mul(size.width, size.height));
    for_each_row(std::span<double>(out), size.width, [&](std::size_t j, std::span<double> row) {
        const double* in = blurred.data() + downsample_source(j, scale, h) * w;
        for (std::size_t i = 0; i < row.size(); ++i) row[i] = in[columns[i]];
    }, pool);
    return GrayImage::owning(size.width, size.height, std::move(out));
}

}  // namespace trelvane
