#include "warp/isa_level.hpp"

#include <algorithm>
#include <cstdlib>

namespace trelvane {

IsaLevel cpu_isa_level() {
    static const IsaLevel level = [] {
#if defined(__x86_64__)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("x86-64-v4")) return IsaLevel::Avx512;
        if (__builtin_cpu_supports("x86-64-v3")) return IsaLevel::Avx2;
#endif
        return IsaLevel::Baseline;
    }();
    return level;
}

std::optional<IsaLevel> parse_isa_level(std::string_view name) {
    if (name == "baseline") return IsaLevel::Baseline;
    if (name == "avx2") return IsaLevel::Avx2;
    if (name == "avx512") return IsaLevel::Avx512;
    return std::nullopt;
}

IsaLevel choose_isa_level(IsaLevel best, const char* requested) {
    const auto wanted = requested ? parse_isa_level(requested) : std::nullopt;
    return wanted ? std::min(*wanted, best) : best;
}

IsaLevel active_isa_level() {
    static const IsaLevel level = choose_isa_level(cpu_isa_level(), std::getenv("TRELVANE_ISA"));
    return level;
}

}  // namespace trelvane
