// Which level's loops run. The processor's features are read once, at
// start-up, and the highest level that this binary holds and the processor
// runs is chosen, the same way on every system (no loader feature such as
// ifunc is needed):
//
//   x86-64   AVX2 (with BMI1 and POPCNT, and the system saving the 256-bit
//            registers), else SSE4.1 with POPCNT, else the SSE2 baseline
//            that every x86-64 processor has;
//   aarch64  the NEON baseline, which every aarch64 processor has;
//   others   the baseline, in the compiler's own vector code.
//
// The build switch PIXTALLY_CPU leaves the levels above it out of the
// binary; the tests and the benchmark may choose a lower level than the
// highest.
#include "level.h"

namespace pixtally::kernels {

namespace {

const LevelKernels *table_of(Level level) {
    switch (level) {
    case Level::baseline:
        return &baseline_kernels;
#ifdef PIXTALLY_LEVEL_SSE41
    case Level::sse41:
        return &sse41_kernels;
#endif
#ifdef PIXTALLY_LEVEL_AVX2
    case Level::avx2:
        return &avx2_kernels;
#endif
    default:
        return nullptr;
    }
}

bool processor_runs(Level level) {
#if defined(__x86_64__) || defined(_M_X64)
    __builtin_cpu_init();
    switch (level) {
    case Level::sse41:
        return __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("popcnt");
    case Level::avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("popcnt");
    default:
        return true;
    }
#else
    return level == Level::baseline;
#endif
}

Level highest_level() {
    Level highest = Level::baseline;
    for (const Level level : all_levels)
        if (level_runs_here(level))
            highest = level;
    return highest;
}

Level current = Level::baseline;
const LevelKernels *in_use = nullptr;

// At start-up, before main.
[[maybe_unused]] const bool chosen = (use_level(highest_level()), true);

} // namespace

const char *level_name(Level level) {
    switch (level) {
    case Level::sse41:
        return "sse4.1";
    case Level::avx2:
        return "avx2";
    default:
        return "baseline";
    }
}

bool level_runs_here(Level level) {
    return table_of(level) != nullptr && processor_runs(level);
}

Level level_in_use() {
    return current;
}

void use_level(Level level) {
    current = level;
    in_use = table_of(level);
}

const LevelKernels &kernels_in_use() {
    if (in_use == nullptr) // only before start-up has chosen
        use_level(highest_level());
    return *in_use;
}

} // namespace pixtally::kernels
