#include "rect_nfa.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "shared.hpp"

namespace trelvane {
namespace {

constexpr double minus_ln_10 = -2.302585092994046;

struct Counts {
    std::uint64_t covered = 0;
    std::uint64_t aligned = 0;
};

// The clamped bounding box of a rectangle, inclusive; empty when lo > hi.
struct Box {
    std::uint64_t x_lo, x_hi, y_lo, y_hi;
};

Box bounding_box(double cx, double cy, double ex, double ey, std::uint64_t width,
                 std::uint64_t height) {
    return {saturating_u64(std::floor(cx - ex)),
            std::min(saturating_u64(std::ceil(cx + ex)), width - 1),
            saturating_u64(std::floor(cy - ey)),
            std::min(saturating_u64(std::ceil(cy + ey)), height - 1)};
}

// Rows run ascending, so the last pixel of the box has the largest index.
void check_last_index(const Box& box, std::uint64_t width, std::size_t records) {
    std::uint64_t last;
    if (__builtin_mul_overflow(box.y_hi, width, &last) ||
        __builtin_add_overflow(last, box.x_hi, &last) || last >= records)
        fail("rect_nfa: record index " + std::to_string(box.y_hi) + " * " + std::to_string(width) +
             " + " + std::to_string(box.x_hi) + " out of range for " + std::to_string(records) +
             " records");
}

Counts count_pixels(const Rect& r, std::span<const GradientRecord> field, float threshold,
                    std::uint64_t width, std::uint64_t height) {
    Counts counts;
    if (width == 0 || height == 0) return counts;
    const double cx = (r.x1 + r.x2) * 0.5;
    const double cy = (r.y1 + r.y2) * 0.5;
    const double hl = std::hypot(r.x2 - r.x1, r.y2 - r.y1) * 0.5;
    const double hw = r.width * 0.5;
    const double ex = std::fabs(r.dy) * hw + hl * std::fabs(r.dx);
    const double ey = std::fabs(r.dx) * hw + std::fabs(r.dy) * hl;
    const Box box = bounding_box(cx, cy, ex, ey, width, height);
    if (box.y_lo > box.y_hi || box.x_lo > box.x_hi) return counts;
    check_last_index(box, width, field.size());

    // The alignment test runs in 32 bits: cosine, direction and dot product.
    const float c = static_cast<float>(std::cos(r.prec));
    const float fdx = static_cast<float>(r.dx);
    const float fdy = static_cast<float>(r.dy);
    for (std::uint64_t y = box.y_lo; y <= box.y_hi; ++y) {
        const double ry = static_cast<double>(y) - cy;
        const double row_along = r.dy * ry;
        const double row_across = r.dx * ry;
        const GradientRecord* row = field.data() + y * width;
        for (std::uint64_t x = box.x_lo; x <= box.x_hi; ++x) {
            const double rx = static_cast<double>(x) - cx;
            const double along = r.dx * rx + row_along;
            const double across = row_across - r.dy * rx;
            // Edges are inside; a NaN comparison counts as within.
            if (std::fabs(along) > hl || std::fabs(across) > hw) continue;
            ++counts.covered;
            const GradientRecord& g = row[x];
            if (g.magnitude > threshold && g.dir_x * fdx + g.dir_y * fdy >= c) ++counts.aligned;
        }
    }
    return counts;
}

// Sums the tail after its first term until the geometric bound of the rest
// is below 10 % of the result.
double tail_from_first_term(double term, std::uint64_t n, std::uint64_t k, double p,
                            double log_nt) {
    const double nd = static_cast<double>(n);
    const double p_term = p / (1.0 - p);
    double bin_tail = term;
    for (std::uint64_t i = k + 1; i <= n; ++i) {
        const double id = static_cast<double>(i);
        const double bin_term = ((nd - id) + 1.0) / id;
        const double mult_term = p_term * bin_term;
        term = term * mult_term;
        bin_tail = bin_tail + term;
        if (bin_term < 1.0 && i < n) {
            const auto exponent = static_cast<std::int32_t>(n - i + 1);
            const double err =
                term * ((1.0 - std::pow(mult_term, static_cast<double>(exponent))) / (1.0 - mult_term) - 1.0);
            if (0.1 * std::fabs(-std::log10(bin_tail) - log_nt) * bin_tail > err) break;
        }
    }
    return bin_tail;
}

}  // namespace

double nfa_from_counts(std::uint64_t n, std::uint64_t k, double p, double log_nt) {
    if (k == 0 || n == 0) return -log_nt;
    const double nd = static_cast<double>(n);
    const double kd = static_cast<double>(k);
    if (k == n) return -log_nt - kd * std::log10(p);
    const double log1term = log_gamma(nd + 1.0) - log_gamma(kd + 1.0) - log_gamma(nd - kd + 1.0) +
                            kd * std::log(p) + (nd - kd) * std::log(1.0 - p);
    const double term = std::exp(log1term);
    if (term == 0.0) {
        // The first term alone when it lies beyond the mean, else the tail is 1.
        if (kd > nd * p) return log1term / minus_ln_10 - log_nt;
        return -log_nt;
    }
    return -std::log10(tail_from_first_term(term, n, k, p, log_nt)) - log_nt;
}

double rect_nfa(const Rect& rect, std::span<const GradientRecord> field, float threshold,
                double log_nt, std::uint64_t width, std::uint64_t height) {
    const Counts counts = count_pixels(rect, field, threshold, width, height);
    return nfa_from_counts(counts.covered, counts.aligned, rect.p, log_nt);
}

double log_gamma(double x) {
    if (x >= 15.0) {
        // Windschitl
        const double x2 = x * x;
        const double x6 = x2 * x2 * x2;
        return 0.918938533204673 + (x - 0.5) * std::log(x) - x +
               0.5 * x * std::log(x * std::sinh(1.0 / x) + 1.0 / (810.0 * x6));
    }
    // Lanczos, seven coefficients
    const double a = (x + 0.5) * std::log(x + 5.5) - (x + 5.5) - std::log(x) - std::log(x + 1.0) -
                     std::log(x + 2.0) - std::log(x + 3.0) - std::log(x + 4.0) -
                     std::log(x + 5.0) - std::log(x + 6.0);
    const double x2 = x * x;
    const double x3 = x2 * x;
    const double x4 = x3 * x;
    const double x5 = x4 * x;
    const double x6 = x5 * x;
    const double b = 75122.633153 + 80916.6278952 * x + 36308.2951477 * x2 + 8687.24529705 * x3 +
                     1168.92649479 * x4 + 83.8676043424 * x5 + 2.50662827511 * x6;
    return a + std::log(b);
}

}  // namespace trelvane
