#include <cmath>

#include "sampling.hpp"

namespace trelvane {

double lanczos3_weight(double d) {
    if (d == 0) return 1;
    if (std::fabs(d) >= lanczos3.support) return 0;
    const double p = 3.141592653589793 * d;
    const double q = p / lanczos3.support;
    return (std::sin(p) / p) * (std::sin(q) / q);
}

LanczosTable build_lanczos_table() {
    LanczosTable table;
    table.reserve(lanczos3.phases + 1);
    for (std::size_t k = 0; k <= lanczos3.phases; ++k) {
        const double t = static_cast<double>(k) * lanczos3.phase_step;
        LanczosWeights w;
        double sum = 0;
        for (int i = 0; i < lanczos3.taps; ++i) {
            w[i] = lanczos3_weight(t - lanczos3.first - i);
            sum = sum + w[i];
        }
        for (double& v : w) v = v / sum;
        table.push_back(w);
    }
    return table;
}

}  // namespace trelvane
