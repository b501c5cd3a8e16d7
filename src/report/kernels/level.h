// What each instruction-set level provides: the vector loops over whole
// steps of pixels, behind a small table of entry points. The row driver
// (add_row.cpp) decides which loop runs on which pixels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace pixtally::kernels {

// The loops take whole steps of 16 pixels: 48 samples, whose flags fill one
// 64-bit word, and a whole number of vectors at every width.
constexpr std::size_t step_pixels = 16;

// min, max and sum of a stretch of pixels, and for 8-bit samples their exact
// square sum. min and max carry on from where they start.
struct ChannelTotals {
    pixval min[3];
    pixval max[3];
    std::uint64_t sum[3];
    std::uint64_t sum_sq[3];
};

// How a run of pixels is to be rounded, per channel. A square sum S in a
// binade whose unit is u = 2^j is S = m * u; a square x moves m by
// d = (x + h) >> j with h = u/2 - 1 (x / u rounded half down), and by one
// more at a tie, x mod u = u/2, when it would leave m odd. Below 2^53, j is
// 0 and m is S itself.
struct RunPlan {
    std::uint32_t unit_bits[3]; // j
    unsigned parity;            // bit c: channel c's m is odd at the start
};

// What a run adds to m, per channel: d_sum + odd_ties, the sum of d and one
// for every tie that met an odd m. The loops may share the total out between
// the two as suits them.
struct RunTotals {
    std::uint64_t d_sum[3];
    std::uint64_t odd_ties[3];
};

struct LevelKernels {
    // min, max, sum and square sum of count pixels (a whole number of steps,
    // at most 2^16) whose samples are below 256; any sample wider shows in
    // max, and the other figures are then of no use.
    void (*narrow)(const pixel *pixels, std::size_t count, ChannelTotals &totals);
    // min, max and sum of a run of count pixels (a whole number of steps, at
    // most run_pixels), and what its squares add to m. A sample of 2^16 or
    // more shows in max, and the rest is then of no use.
    void (*run)(const pixel *pixels, std::size_t count, const RunPlan &plan,
                ChannelTotals &totals, RunTotals &parts);
};

// A run is as long as the lanes' 32-bit sums allow with room to spare, and
// stays in the level-2 cache between its passes (96 KiB); longer runs pay
// their setup less often.
constexpr std::size_t run_pixels = 8192;

extern const LevelKernels baseline_kernels;
#ifdef PIXTALLY_LEVEL_SSE41
extern const LevelKernels sse41_kernels;
#endif
#ifdef PIXTALLY_LEVEL_AVX2
extern const LevelKernels avx2_kernels;
#endif

// The level in use, chosen at start-up.
const LevelKernels &kernels_in_use();

} // namespace pixtally::kernels
