// The front end's row loops at one instruction-set level: the including file
// defines TRELVANE_LEVEL (the namespace) and TRELVANE_LEVEL_BYTES (its vector
// width) and is compiled with that level's -march. Only the level's own
// translation unit includes this file.

#include "detector/front_end_rows.hpp"
#include "detector/level_line_field.hpp"

namespace trelvane::TRELVANE_LEVEL {
namespace {

using Lanes = double __attribute__((vector_size(TRELVANE_LEVEL_BYTES)));
constexpr std::size_t lanes = sizeof(Lanes) / sizeof(double);
static_assert(64 % lanes == 0, "a vector's pixels share one word of bits");

Lanes load(const double* p) {
    Lanes v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <class V>
auto proven_weak(const V& gx, const V& gy) {
    return gx * gx + gy * gy <= weak_squares;
}

}  // namespace

void sum_taps(const double* const* sources, const double* kernel, std::size_t taps, std::size_t n,
              double* out) {
    std::size_t x = 0;
    for (; x + lanes <= n; x += lanes) {
        Lanes sum{};  // +0 in every lane, as the scalar sum starts
        for (std::size_t k = 0; k < taps; ++k) sum = sum + kernel[k] * load(sources[k] + x);
        __builtin_memcpy(out + x, &sum, sizeof sum);
    }
    for (; x < n; ++x) {
        double sum = 0;
        for (std::size_t k = 0; k < taps; ++k) sum = sum + kernel[k] * sources[k][x];
        out[x] = sum;
    }
}

void mark_strong(const double* top, const double* bottom, std::size_t n, std::uint64_t* strong) {
    for (std::size_t i = 0; i < (n + 63) / 64; ++i) strong[i] = 0;
    std::size_t x = 0;
    for (; x + lanes <= n; x += lanes) {
        Lanes gx, gy;
        square_gradient(load(top + x), load(top + x + 1), load(bottom + x), load(bottom + x + 1), gx, gy);
        const auto weak = proven_weak(gx, gy);  // all ones in a lane where true
        std::uint64_t bits = 0;
        for (std::size_t l = 0; l < lanes; ++l) bits |= std::uint64_t{weak[l] == 0} << l;
        strong[x / 64] |= bits << (x % 64);
    }
    for (; x < n; ++x) {
        double gx, gy;
        square_gradient(top[x], top[x + 1], bottom[x], bottom[x + 1], gx, gy);
        if (!proven_weak(gx, gy)) strong[x / 64] |= std::uint64_t{1} << (x % 64);
    }
}

}  // namespace trelvane::TRELVANE_LEVEL
