// Instruction-set levels of the resampling kernels. Baseline is plain x86-64
// (the scalar reference); the vector levels are compiled into their own
// translation units and run only on a CPU that has them.
#pragma once

#include <optional>
#include <string_view>

namespace trelvane {

enum class IsaLevel { Baseline = 0, Avx2 = 1, Avx512 = 2 };

// The best level this CPU runs: x86-64-v4 (AVX-512 F/BW/CD/DQ/VL), x86-64-v3
// (AVX2 and its companions) or baseline.
IsaLevel cpu_isa_level();

// "baseline", "avx2" or "avx512"; anything else is nullopt.
std::optional<IsaLevel> parse_isa_level(std::string_view name);

// The level asked for by `requested` (a TRELVANE_ISA value, or null), never
// above `best`; a missing or unknown request gives `best`.
IsaLevel choose_isa_level(IsaLevel best, const char* requested);

// The level the resampling calls use, chosen once per process: the CPU's best,
// lowered by the environment variable TRELVANE_ISA for tests and benchmarks.
IsaLevel active_isa_level();

}  // namespace trelvane
