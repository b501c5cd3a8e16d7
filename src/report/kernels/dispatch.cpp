// Which level's loops run. Once, at start-up, the processor's features are
// read and the highest level this binary holds that the processor runs is
// chosen, the same way on every system (no loader feature such as ifunc is
// needed):
//
//   x86-64   AVX2 (with BMI1 and POPCNT, and the system saving the 256-bit
//            registers), else SSE4.1 with POPCNT, else the SSE2 baseline
//            that every x86-64 processor has;
//   aarch64  the NEON baseline, which every aarch64 processor has;
//   others   the compiler's own vector code.
//
// The environment variable PIXTALLY_LEVEL may name a lower level to run
// instead, for the tests and the benchmark: the figures are the same at
// every level, only the time differs. The build switch PIXTALLY_CPU leaves
// the levels above it out of the binary altogether.
#include "cpu_features.h"
#include "level.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pixtally::kernels {

namespace {

const KernelLevel *highest_here() {
    const KernelLevel *highest = levels_built().front();
    for (const KernelLevel *level : levels_built())
        if (runs_here(*level))
            highest = level;
    return highest;
}

const KernelLevel *built_level_named(const char *name) {
    for (const KernelLevel *level : levels_built())
        if (std::strcmp(level->name, name) == 0)
            return level;
    return nullptr;
}

// One line on standard error, and the run goes on: a level is a matter of
// time, never of the figures. (Plain stdio, as everywhere in this library:
// the program needs nothing of the C++ runtime library.)
const KernelLevel &instead(const char *wanted, const KernelLevel *named,
                           const KernelLevel &highest) {
    std::fprintf(stderr, "pixtally: PIXTALLY_LEVEL=%s ", wanted);
    if (named == nullptr) {
        std::fprintf(stderr, "is not a level of this build (");
        const char *separator = "";
        for (const KernelLevel *level : levels_built()) {
            std::fprintf(stderr, "%s%s", separator, level->name);
            separator = ", ";
        }
        std::fprintf(stderr, ")");
    } else {
        std::fprintf(stderr, "needs what this processor lacks");
    }
    std::fprintf(stderr, "; %s runs instead\n", highest.name);
    return highest;
}

const KernelLevel &chosen_at_start() {
    const KernelLevel &highest = *highest_here();
    const char *wanted = std::getenv("PIXTALLY_LEVEL");
    if (wanted == nullptr || *wanted == '\0')
        return highest;
    const KernelLevel *named = built_level_named(wanted);
    if (named == nullptr || !runs_here(*named))
        return instead(wanted, named, highest);
    return *named;
}

const KernelLevel *in_use = nullptr;

void choose_once() {
    if (in_use == nullptr)
        in_use = &chosen_at_start();
}

// Apart, so that the row's call of kernels_in_use stays a load and a test.
[[gnu::noinline]] const LevelKernels &kernels_chosen_now() {
    choose_once();
    return in_use->kernels;
}

// At start-up, before main.
[[maybe_unused]] const bool chosen = (choose_once(), true);

} // namespace

const char *level_name(const KernelLevel &level) {
    return level.name;
}

bool runs_here(const KernelLevel &level) {
    return (level.needs & ~processor_features()) == 0;
}

const KernelLevel &level_in_use() {
    choose_once();
    return *in_use;
}

void use_level(const KernelLevel &level) {
    in_use = &level;
}

const LevelKernels &kernels_in_use() {
    if (in_use != nullptr)
        return in_use->kernels;
    return kernels_chosen_now(); // only before start-up has chosen
}

} // namespace pixtally::kernels
