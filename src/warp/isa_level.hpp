// Instruction-set levels of the resampling kernels. Baseline is plain x86-64
// (the scalar reference); the vector levels are compiled into their own
// translation units and run only on a CPU that has them. Each vector level
// comes in two forms with the same bytes: the plain one adds the float32
// kernels (their sums are checked against a proven bound per output sample and
// recomputed exactly where the check fails), the exact one runs only the
// double-precision kernels, so that tests can compare both on one machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace trelvane {

enum class IsaLevel { Baseline = 0, Avx2Exact = 1, Avx2 = 2, Avx512Exact = 3, Avx512 = 4 };

// The instruction set a level runs on: Baseline, Avx2 or Avx512.
IsaLevel instruction_set(IsaLevel level);
// Whether the level runs the float32 paths where it has them.
bool runs_float32(IsaLevel level);

// The best level this CPU runs: x86-64-v4 (AVX-512 F/BW/CD/DQ/VL), x86-64-v3
// (AVX2 and its companions) or baseline.
IsaLevel cpu_isa_level();

// "baseline", "avx2", "avx2-exact", "avx512" or "avx512-exact"; anything
// else is nullopt.
std::optional<IsaLevel> parse_isa_level(std::string_view name);

// `wanted` on at most the instruction set of `best` (a CPU level); an exact
// request stays exact when lowered.
IsaLevel lower_to(IsaLevel wanted, IsaLevel best);

// The level asked for by `requested` (a TRELVANE_ISA value, or null), never
// above `best`; a missing or unknown request gives `best`.
IsaLevel choose_isa_level(IsaLevel best, const char* requested);

// The level the resampling calls use, chosen once per process: the CPU's best,
// lowered by the environment variable TRELVANE_ISA for tests and benchmarks.
IsaLevel active_isa_level();

// Output pixels the float32 kernels handed to the exact scalar sampler, summed
// over every call of this process (for tests and benchmarks).
std::uint64_t recomputed_samples();
void add_recomputed_samples(std::uint64_t count);

}  // namespace trelvane
