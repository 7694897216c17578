#include "warp.hpp"

#include "resample_rows.hpp"

namespace trelvane {

template <class T>
Checked<Buffer<T>> warp_image(std::span<const T> source, std::uint64_t width,
                              std::uint64_t height, std::uint64_t out_width,
                              std::uint64_t out_height, const Homography& H, double scale,
                              double off_x, double off_y, Filter filter, WorkerPool& pool) {
    const std::uint64_t source_len = dims_product(dims_product(width, height), 3);
    if (source.size() != source_len) return SizeMismatch{source_len, source.size()};

    const SourceView<T, 3> src(source, width, height);
    return resample_rows<T, 3>(filter, out_width, out_height, pool, [&](std::size_t r, T* row, auto&& sample) {
        // The v-part of each row of H, once per row.
        const double v = static_cast<double>(r) / scale + off_y;
        const double A = H[1] * v + H[2];
        const double B = H[4] * v + H[5];
        const double C = v * H[7] + H[8];
        for (std::size_t c = 0; c < out_width; ++c) {
            const double u = static_cast<double>(c) / scale + off_x;
            const double W = H[6] * u + C;
            if (W == 0) continue;  // the point at infinity: the pixel stays 0
            const double X = (u * H[0] + A) / W;
            const double Y = (H[3] * u + B) / W;
            sample(src, X, Y, row + c * 3);
        }
    });
}

template Checked<Buffer<std::uint8_t>> warp_image<std::uint8_t>(
    std::span<const std::uint8_t>, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
    const Homography&, double, double, double, Filter, WorkerPool&);
template Checked<Buffer<std::uint16_t>> warp_image<std::uint16_t>(
    std::span<const std::uint16_t>, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
    const Homography&, double, double, double, Filter, WorkerPool&);

}  // namespace trelvane
