// The front end's row loops at the baseline level, two lanes wide as every
// x86-64 and AArch64 processor runs them, and the choice of level.
#define TRELVANE_LEVEL baseline
#define TRELVANE_LEVEL_BYTES 16
#include "detector/front_end_rows-inl.hpp"

namespace trelvane {

FrontEndRows front_end_rows([[maybe_unused]] IsaLevel level) {
#if defined(TRELVANE_VECTOR_LEVELS)
    switch (instruction_set(lower_to(level, cpu_isa_level()))) {
        case IsaLevel::Avx512: return {avx512::sum_taps, avx512::mark_strong};
        case IsaLevel::Avx2: return {avx2::sum_taps, avx2::mark_strong};
        default: break;
    }
#endif
    return {baseline::sum_taps, baseline::mark_strong};
}

}  // namespace trelvane
