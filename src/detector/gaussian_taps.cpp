// The baseline sum of the Gaussian blur's taps, two lanes wide as every
// x86-64 and AArch64 processor runs them, and the choice of level.
#define TRELVANE_LEVEL baseline
#define TRELVANE_LEVEL_BYTES 16
#include "detector/gaussian_taps-inl.hpp"

namespace trelvane {

SumTaps sum_taps_routine([[maybe_unused]] IsaLevel level) {
#if defined(TRELVANE_VECTOR_LEVELS)
    switch (instruction_set(lower_to(level, cpu_isa_level()))) {
        case IsaLevel::Avx512: return avx512::sum_taps;
        case IsaLevel::Avx2: return avx2::sum_taps;
        default: break;
    }
#endif
    return baseline::sum_taps;
}

}  // namespace trelvane
