// The row kernels: one row's samples into the running figures of the three
// channels, with the same result as adding them one by one in file order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "libnetpbm.h"

namespace pixtally::kernels {

// The running figures a row is added to. min, max and the square sums carry
// on from the rows before; sum is the row's own.
struct RowSums {
    pixval min[3];
    pixval max[3];
    std::uint64_t sum[3];
    double sum_sq[3]; // as adding each square in binary64, one by one, gives it
};

// Adds the row's width pixels. Samples up to maxval take the fast paths;
// any sample is still counted exactly by the rule.
void add_row(RowSums &sums, const pixel *row, std::size_t width, pixval maxval);

// An instruction-set level the kernels are built for (level.h). The lowest
// is the architecture's baseline: SSE2 on x86-64, NEON on aarch64, the
// compiler's own vector code elsewhere. Every level gives the same figures.
struct KernelLevel;

// The levels this binary holds, lowest first.
std::span<const KernelLevel *const> levels_built();

const char *level_name(const KernelLevel &level);

// Whether this processor has what the level needs.
bool runs_here(const KernelLevel &level);

// The level in use: the highest that runs here, or the lower one that
// PIXTALLY_LEVEL named when the program started, or the one use_level chose
// since.
const KernelLevel &level_in_use();
void use_level(const KernelLevel &level);

} // namespace pixtally::kernels
