// The vector row routines, one set per instruction-set level, and the choice
// among them and the scalar reference for one call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "warp/filter.hpp"
#include "warp/float32_rows.hpp"
#include "warp/isa_level.hpp"
#include "warp/positions.hpp"
#include "warp/sampling.hpp"

namespace trelvane {

// The scalar reference: samples one output row pixel by pixel.
template <class T, int C, Filter F, class Row>
void scalar_row(const SourceView<T, C>& src, const LanczosTable& table, const Row& row,
                std::size_t width, T* out) {
    for (std::size_t x = 0; x < width; ++x) {
        const Position p = position_at(row, x);
        if (p.active) sample<F>(src, table, p.x, p.y, out + x * C);
    }
}

// Same contract and same bytes as scalar_row, N output pixels per vector.
// Float32: the float32 kernel, where the level has one (has_float32_path).
#define TRELVANE_VECTOR_LEVEL(level)                                                     \
    namespace level {                                                                    \
    template <class T, int C, Filter F, class Row, bool Float32>                         \
    void resample_row(const SourceView<T, C>& src, const LanczosTable& table, const Row& row, \
                      std::size_t width, T* out);                                        \
    }
TRELVANE_VECTOR_LEVEL(avx2)
TRELVANE_VECTOR_LEVEL(avx512)
#undef TRELVANE_VECTOR_LEVEL

template <class T, int C, class Row>
using RowRoutine = void (*)(const SourceView<T, C>&, const LanczosTable&, const Row&, std::size_t, T*);

// The vector routines take 32-bit byte offsets into a non-empty source.
template <class T, int C>
bool vector_ready(const SourceView<T, C>& src) {
    const std::uint64_t bytes = dims_product(dims_product(src.width, src.height), C * sizeof(T));
    return bytes > 0 && bytes <= INT32_MAX;
}

// The row routine of `level` (never above what the CPU runs), or the scalar
// one where no vector routine applies.
template <class T, int C, Filter F, class Row>
RowRoutine<T, C, Row> row_routine([[maybe_unused]] IsaLevel level, [[maybe_unused]] const SourceView<T, C>& src) {
#if defined(TRELVANE_VECTOR_LEVELS)
    if (vector_ready(src)) {
        level = lower_to(level, cpu_isa_level());
        constexpr bool has_float32 = has_float32_path(F, sizeof(T), C, std::is_same_v<Row, MapRow>);
        const bool float32 = runs_float32(level);
        switch (instruction_set(level)) {
            case IsaLevel::Avx512:
                return float32 ? avx512::resample_row<T, C, F, Row, has_float32>
                               : avx512::resample_row<T, C, F, Row, false>;
            case IsaLevel::Avx2:
                return float32 ? avx2::resample_row<T, C, F, Row, has_float32>
                               : avx2::resample_row<T, C, F, Row, false>;
            default: break;
        }
    }
#endif
    return scalar_row<T, C, F, Row>;
}

}  // namespace trelvane
