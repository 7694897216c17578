// Helpers shared by the resampling tests.
#pragma once

#include <random>
#include <variant>
#include <vector>

#include "shared.hpp"

namespace trelvane {

// n samples of uniform noise over the whole range of T.
template <class T>
std::vector<T> noise(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<T> v(n);
    for (auto& s : v) s = static_cast<T>(rng());
    return v;
}

// The samples of a computation's output buffer.
template <class T>
std::vector<T> values(Checked<Buffer<T>> r) {
    auto& b = std::get<Buffer<T>>(r);
    return {b.data.get(), b.data.get() + b.size};
}

}  // namespace trelvane
