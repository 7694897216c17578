// Vector row routines of the resampling calls, compiled once per instruction
// set level: the including file defines TRELVANE_LEVEL (the namespace) and is
// compiled with that level's -march. Only the level's own translation unit
// includes this file. The kernels are in vector_kernels-inl.hpp (exact) and
// float32_rows-inl.hpp (float32 sums under a proven bound).

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "warp/float32_rows-inl.hpp"
#include "warp/float32_rows.hpp"
#include "warp/positions.hpp"
#include "warp/sampling.hpp"
#include "warp/vector_kernels-inl.hpp"
#include "warp/vector_ops-inl.hpp"
#include "warp/vector_rows.hpp"

namespace trelvane::TRELVANE_LEVEL {
namespace {

// The kernel of filter F, exact or float32.
template <Filter F, bool Float32, class T, int C>
auto make_kernel(const Source<T, C>& source, const ScalarSampler<T, C, F>& exact) {
    if constexpr (F == Filter::Bilinear) {
        return Bilinear<T, C>{source};  // the float32 one has a row routine of its own
    } else {
        const double* entries = exact.table.front().data();
        if constexpr (Float32)
            return Float32Lanczos3<T, C>{{source, entries}, exact};
        else
            return Lanczos3<T, C>{source, entries};
    }
}

}  // namespace

// Blocks of groups in passes: all plans (which prefetch the source lines),
// then the gathers and the sums, each a pass of its own or one after the other
// group by group, as the kernel prefers.
template <class T, int C, Filter F, class Row, bool Float32>
void resample_row(const SourceView<T, C>& src, const LanczosTable& table, const Row& row,
                  std::size_t width, T* out) {
    static_assert(!Float32 || has_float32_path(F, sizeof(T), C, std::is_same_v<Row, MapRow>),
                  "no float32 path for this call at this level");
    const Source<T, C> source(src);
    const ScalarSampler<T, C, F> exact{src, table};
    if constexpr (Float32 && F == Filter::Bilinear)
        if (float32_bilinear_ready(src)) return float32_bilinear_row(source, exact, row, width, out);
    auto kernel = make_kernel<F, Float32>(source, exact);
    using Kernel = decltype(kernel);
    static_assert(Kernel::fetch_whole_block || !Kernel::finish_pairs,
                  "a pair is finished before its second group would be fetched");
    constexpr int G = Kernel::groups_per_block;
    typename Kernel::Plan plans[G];
    Group groups[G];
    std::size_t x = 0;
    while (x + N <= width) {
        const int count = static_cast<int>(std::min<std::size_t>(G, (width - x) / N));
        for (int g = 0; g < count; ++g) groups[g] = kernel.plan(lanes_at(row, x + g * N), plans[g]);
        if constexpr (Kernel::fetch_whole_block)
            for (int g = 0; g < count; ++g)
                if (groups[g] == Group::Vector) kernel.fetch(plans[g]);
        for (int g = 0; g < count; ++g) {
            T* const dest = out + (x + g * N) * C;
            if (groups[g] == Group::Scalar) {
                sample_scalar<T, C>(exact, lanes_at(row, x + g * N), dest);
            } else if (groups[g] == Group::Vector) {
                if constexpr (!Kernel::fetch_whole_block) kernel.fetch(plans[g]);
                if constexpr (Kernel::finish_pairs) {
                    if (g + 1 < count && groups[g + 1] == Group::Vector) {
                        kernel.finish_pair(plans[g], plans[g + 1], dest);
                        ++g;
                        continue;
                    }
                }
                kernel.finish(plans[g], dest);
            }
        }
        x += count * N;
    }
    sample_rest<T, C>(exact, row, x, width, out);
    if constexpr (Float32 && F == Filter::Lanczos3)
        if (kernel.recomputed) add_recomputed_samples(kernel.recomputed);
}

#define TRELVANE_ROW(T, C, F, Row, Float32)                                                  \
    template void resample_row<T, C, F, Row, Float32>(const SourceView<T, C>&, const LanczosTable&, \
                                                      const Row&, std::size_t, T*);
#define TRELVANE_ROWS(T, C, Row)                            \
    TRELVANE_ROW(T, C, Filter::Bilinear, Row, false)        \
    TRELVANE_ROW(T, C, Filter::Lanczos3, Row, false)
TRELVANE_ROWS(std::uint8_t, 1, MapRow)
TRELVANE_ROWS(std::uint16_t, 1, MapRow)
TRELVANE_ROWS(std::uint8_t, 3, MapRow)
TRELVANE_ROWS(std::uint16_t, 3, MapRow)
TRELVANE_ROWS(std::uint8_t, 3, HomographyRow)
TRELVANE_ROWS(std::uint16_t, 3, HomographyRow)
// The float32 kernels this level has (has_float32_path).
TRELVANE_ROW(std::uint8_t, 3, Filter::Lanczos3, MapRow, true)
TRELVANE_ROW(std::uint8_t, 3, Filter::Lanczos3, HomographyRow, true)
TRELVANE_ROW(std::uint8_t, 1, Filter::Bilinear, MapRow, true)
TRELVANE_ROW(std::uint8_t, 3, Filter::Bilinear, MapRow, true)
#undef TRELVANE_ROWS
#undef TRELVANE_ROW

}  // namespace trelvane::TRELVANE_LEVEL
