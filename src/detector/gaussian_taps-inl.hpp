// The sum of the Gaussian blur's taps at one instruction-set level: the
// including file defines TRELVANE_LEVEL (the namespace) and
// TRELVANE_LEVEL_BYTES (its vector width) and is compiled with that level's
// -march. Only the level's own translation unit includes this file.

#include "detector/gaussian_taps.hpp"

namespace trelvane::TRELVANE_LEVEL {

void sum_taps(const double* const* sources, const double* kernel, std::size_t taps, std::size_t n,
              double* out) {
    using Lanes = double __attribute__((vector_size(TRELVANE_LEVEL_BYTES)));
    constexpr std::size_t lanes = sizeof(Lanes) / sizeof(double);
    std::size_t x = 0;
    for (; x + lanes <= n; x += lanes) {
        Lanes sum{};  // +0 in every lane, as the scalar sum starts
        for (std::size_t k = 0; k < taps; ++k) {
            Lanes tap;
            __builtin_memcpy(&tap, sources[k] + x, sizeof tap);
            sum = sum + kernel[k] * tap;
        }
        __builtin_memcpy(out + x, &sum, sizeof sum);
    }
    for (; x < n; ++x) {
        double sum = 0;
        for (std::size_t k = 0; k < taps; ++k) sum = sum + kernel[k] * sources[k][x];
        out[x] = sum;
    }
}

}  // namespace trelvane::TRELVANE_LEVEL
