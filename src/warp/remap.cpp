#include "remap.hpp"

#include "resample_rows.hpp"

namespace trelvane {

template <class T, int C>
Checked<Buffer<T>> remap_image(std::span<const T> source, std::uint64_t width,
                               std::uint64_t height, std::span<const float> map_x,
                               std::span<const float> map_y, std::uint64_t out_width,
                               std::uint64_t out_height, Filter filter, WorkerPool& pool) {
    const std::uint64_t source_len = dims_product(dims_product(width, height), C);
    if (source.size() != source_len) return SizeMismatch{source_len, source.size()};
    const std::uint64_t map_len = dims_product(out_width, out_height);
    if (map_x.size() != map_len) return SizeMismatch{map_len, map_x.size()};
    if (map_y.size() != map_x.size()) return SizeMismatch{map_len, map_y.size()};

    const SourceView<T, C> src(source, width, height);
    return resample_rows<T, C>(filter, out_width, out_height, pool, [&](std::size_t y, T* row, auto&& sample) {
        const float* mx = map_x.data() + y * out_width;
        const float* my = map_y.data() + y * out_width;
        for (std::size_t x = 0; x < out_width; ++x)
            sample(src, static_cast<double>(mx[x]), static_cast<double>(my[x]), row + x * C);
    });
}

#define TRELVANE_REMAP(T, C)                                                              \
    template Checked<Buffer<T>> remap_image<T, C>(                                         \
        std::span<const T>, std::uint64_t, std::uint64_t, std::span<const float>,          \
        std::span<const float>, std::uint64_t, std::uint64_t, Filter, WorkerPool&);
TRELVANE_REMAP(std::uint8_t, 1)
TRELVANE_REMAP(std::uint16_t, 1)
TRELVANE_REMAP(std::uint8_t, 3)
TRELVANE_REMAP(std::uint16_t, 3)
#undef TRELVANE_REMAP

}  // namespace trelvane
