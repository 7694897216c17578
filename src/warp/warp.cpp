#include "warp/warp.hpp"

#include "warp/resample_rows.hpp"

namespace trelvane {

template <class T>
Checked<Buffer<T>> warp_image(std::span<const T> source, std::uint64_t width,
                              std::uint64_t height, std::uint64_t out_width,
                              std::uint64_t out_height, const Homography& H, double scale,
                              double off_x, double off_y, Filter filter, IsaLevel level,
                              WorkerPool& pool) {
    const std::uint64_t source_len = dims_product(dims_product(width, height), 3);
    if (source.size() != source_len) return SizeMismatch{source_len, source.size()};

    const SourceView<T, 3> src(source, width, height);
    return resample_rows<T, 3>(src, filter, level, out_width, out_height, pool, [&] {
        // No rows, no columns to place: an enormous width with no rows stays cheap.
        return [plane = homography_plane(H, scale, off_x, off_y, out_height ? out_width : 0)](std::size_t r) {
            return homography_row(plane, r);
        };
    });
}

#define TRELVANE_WARP(T)                                                                   \
    template Checked<Buffer<T>> warp_image<T>(std::span<const T>, std::uint64_t, std::uint64_t, \
                                              std::uint64_t, std::uint64_t, const Homography&, \
                                              double, double, double, Filter, IsaLevel, WorkerPool&);
TRELVANE_WARP(std::uint8_t)
TRELVANE_WARP(std::uint16_t)
#undef TRELVANE_WARP

}  // namespace trelvane
