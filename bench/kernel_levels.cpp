// Prints the instruction-set levels of the row kernels that this binary
// holds and this processor runs, lowest first: what bench/run --levels
// builds and times.
#include "kernels.h"

#include <cstdio>

int main() {
    for (const pixtally::kernels::Level level : pixtally::kernels::all_levels)
        if (pixtally::kernels::level_runs_here(level))
            std::printf("%s\n", pixtally::kernels::level_name(level));
    return 0;
}
