#include "warp/isa_level.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace trelvane {

IsaLevel instruction_set(IsaLevel level) {
    switch (level) {
        case IsaLevel::Avx2Exact: return IsaLevel::Avx2;
        case IsaLevel::Avx512Exact: return IsaLevel::Avx512;
        default: return level;
    }
}

bool runs_float32(IsaLevel level) { return level == IsaLevel::Avx2 || level == IsaLevel::Avx512; }

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
    if (name == "avx2-exact") return IsaLevel::Avx2Exact;
    if (name == "avx512") return IsaLevel::Avx512;
    if (name == "avx512-exact") return IsaLevel::Avx512Exact;
    return std::nullopt;
}

IsaLevel lower_to(IsaLevel wanted, IsaLevel best) {
    best = instruction_set(best);
    if (instruction_set(wanted) <= best) return wanted;
    if (runs_float32(wanted) || best == IsaLevel::Baseline) return best;
    return best == IsaLevel::Avx512 ? IsaLevel::Avx512Exact : IsaLevel::Avx2Exact;
}

IsaLevel choose_isa_level(IsaLevel best, const char* requested) {
    const auto wanted = requested ? parse_isa_level(requested) : std::nullopt;
    return wanted ? lower_to(*wanted, best) : best;
}

IsaLevel active_isa_level() {
    static const IsaLevel level = choose_isa_level(cpu_isa_level(), std::getenv("TRELVANE_ISA"));
    return level;
}

namespace {
std::atomic<std::uint64_t> recomputed{0};
}

std::uint64_t recomputed_samples() { return recomputed.load(std::memory_order_relaxed); }
void add_recomputed_samples(std::uint64_t count) { recomputed.fetch_add(count, std::memory_order_relaxed); }

}  // namespace trelvane
