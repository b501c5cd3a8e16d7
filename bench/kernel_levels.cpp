// Prints the instruction-set levels of the row kernels that this binary
// holds and this processor runs, lowest first, by the names PIXTALLY_LEVEL
// takes: what bench/run --levels and bench/count --levels time and count.
#include "kernels.h"

#include <cstdio>

int main() {
    for (const pixtally::kernels::KernelLevel *level : pixtally::kernels::levels_built())
        if (pixtally::kernels::runs_here(*level))
            std::printf("%s\n", pixtally::kernels::level_name(*level));
    return 0;
}
