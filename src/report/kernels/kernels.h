// The row kernels: one row's samples into the running figures of the three
// channels, with the same result as adding them one by one in file order.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The instruction-set levels the kernels are built for, lowest first. The
// baseline is SSE2 on x86-64, NEON on aarch64 and the compiler's own vector
// code elsewhere.
enum class Level { baseline, sse41, avx2 };
constexpr Level all_levels[] = {Level::baseline, Level::sse41, Level::avx2};

const char *level_name(Level level);

// Whether this binary holds the level and this processor can run it.
bool level_runs_here(Level level);

// The level in use: the highest that runs here, unless the tests or the
// benchmark chose another.
Level level_in_use();
void use_level(Level level);

} // namespace pixtally::kernels
