// Rectangle NFA: counts the pixels a rectangle covers (n) and those whose
// level-line direction agrees with it (k), and rates the count by
// log_nfa = -log10(NT × B(n, k, p)), B being the binomial tail.
#pragma once

#include <cstdint>
#include <span>

#include "records.hpp"

namespace trelvane {

// log_nfa of rect over the field of width × height records (the record count
// is field.size()). A pixel is aligned when its magnitude exceeds threshold
// and its direction lies within rect.prec of (dx, dy). An index beyond the
// field is an internal failure.
double rect_nfa(const Rect& rect, std::span<const GradientRecord> field, float threshold,
                double log_nt, std::uint64_t width, std::uint64_t height);

// -log10(NT × B(n, k, p)) with the tail series cut at a 10 % error of the result.
double nfa_from_counts(std::uint64_t n, std::uint64_t k, double p, double log_nt);

// ln Γ(x) for integer-valued x ≥ 2: Lanczos below 15, Windschitl from 15 on.
double log_gamma(double x);

}  // namespace trelvane
