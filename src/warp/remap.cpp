#include "warp/remap.hpp"

#include "warp/positions.hpp"
#include "warp/resample_rows.hpp"

namespace trelvane {

template <class T, int C>
Checked<Buffer<T>> remap_image(std::span<const T> source, std::uint64_t width,
                               std::uint64_t height, std::span<const float> map_x,
                               std::span<const float> map_y, std::uint64_t out_width,
                               std::uint64_t out_height, Filter filter, IsaLevel level,
                               WorkerPool& pool) {
    const std::uint64_t source_len = dims_product(dims_product(width, height), C);
    if (source.size() != source_len) return SizeMismatch{source_len, source.size()};
    const std::uint64_t map_len = dims_product(out_width, out_height);
    if (map_x.size() != map_len) return SizeMismatch{map_len, map_x.size()};
    if (map_y.size() != map_x.size()) return SizeMismatch{map_len, map_y.size()};

    const SourceView<T, C> src(source, width, height);
    return resample_rows<T, C>(src, filter, level, out_width, out_height, pool, [&] {
        return [&](std::size_t y) { return MapRow{map_x.data() + y * out_width, map_y.data() + y * out_width}; };
    });
}

#define TRELVANE_REMAP(T, C)                                                              \
    template Checked<Buffer<T>> remap_image<T, C>(                                         \
        std::span<const T>, std::uint64_t, std::uint64_t, std::span<const float>,          \
        std::span<const float>, std::uint64_t, std::uint64_t, Filter, IsaLevel, WorkerPool&);
TRELVANE_REMAP(std::uint8_t, 1)
TRELVANE_REMAP(std::uint16_t, 1)
TRELVANE_REMAP(std::uint8_t, 3)
TRELVANE_REMAP(std::uint16_t, 3)
#undef TRELVANE_REMAP

}  // namespace trelvane
