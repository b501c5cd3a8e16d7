// One instruction-set level of the row kernels: what it gives the row driver
// (add_row.cpp), what it needs of the processor, and the words its loops are
// written in. README.md in this folder says which file does what.
//
// Glossary, as every comment in this folder uses the words:
//
//   lane    one 32-bit element of a vector; a level's vectors have W lanes
//           (4 at 128 bits, 8 at 256).
//   block   W pixels, 3W samples read flat as three vectors: lane i of
//           vector p holds sample W*p + i, of channel (W*p + i) % 3. Every
//           figure is kept per lane, in three vectors, one for each p, and
//           folded into its channel at the end.
//   step    16 pixels, 48 samples: a whole number of blocks at every width,
//           and one 64-bit word of flags per kind of flag, sample s at bit s.
//   run     up to run_pixels pixels of a row, added as one: short enough for
//           the lanes' 32-bit sums and for the cache between its passes.
//   binade  the square sums from one power of two to the next, [2^k, 2^(k+1)).
//           Past 2^53, binary64 holds only the multiples of a unit there.
//   unit    u = 2^j, that spacing, j = k - 52; below 2^53, u = 1 (j = 0).
//   m       the square sum counted in units: S = m * u.
//   d       what a square x moves m by, but for ties: x / u rounded half
//           down, (x + u/2 - 1) >> j.
//   tie     a square halfway between two units, x mod u = u/2, which binary64
//           rounds to even: it moves m by one more than d when m + d would
//           be odd. Squares tie only where j is odd, and a tie's own d is
//           even, so what decides is the parity of m that the tie meets.
//   met     the parity of m a tie finds: the loops count the ties that met
//           an even m.
//   chunk   a share of a run's steps that one 64-bit lane of the tie scan
//           takes, where a level scans several chunks side by side.
#pragma once

// Every header the loops use comes first: the loops are included into each
// level's own namespace (loops.h), where no header may be.
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "kernels.h"

namespace pixtally::kernels {

// The loops take whole steps of 16 pixels: 48 samples, whose flags fill one
// 64-bit word, and a whole number of vectors at every width.
constexpr std::size_t step_pixels = 16;

// A run is as long as the lanes' 32-bit sums allow with room to spare, and
// stays in the level-2 cache between its passes (96 KiB); longer runs pay
// their setup less often.
constexpr std::size_t run_pixels = 8192;

// min, max and sum of a stretch of pixels, and for 8-bit samples their exact
// square sum. min and max carry on from where they start.
struct ChannelTotals {
    pixval min[3];
    pixval max[3];
    std::uint64_t sum[3];
    std::uint64_t sum_sq[3];
};

// How a run of pixels is to be rounded, per channel: each channel's j, and
// the parity of its m where the run starts.
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
    void (*run)(const pixel *pixels, std::size_t count, const RunPlan &plan, ChannelTotals &totals,
                RunTotals &parts);
};

// What a level needs of the processor beyond its architecture's baseline.
enum CpuFeature : std::uint32_t {
    cpu_sse41 = 1u << 0,
    cpu_popcnt = 1u << 1,
    cpu_avx2 = 1u << 2, // with the system saving the 256-bit registers
    cpu_bmi1 = 1u << 3,
};

// The operations a level may provide beyond those every level must (see
// level_ops.h), as the level declares them.
struct LevelFlags {
    bool unit8_bits;         // a step's flags at unit 8, read from its samples
    bool step_bits16;        // a step's flags gathered from 16-bit lanes at once
    bool whole_squares;      // squares summed whole in 32-bit lanes (mul32, add_wide)
    bool own_d_sums;         // its own way of keeping the sums of d (DSums)
    bool own_met_counts;     // its own way of counting the ties met (MetCounts)
    bool counts_bits;        // the processor counts a word's bits itself
    std::size_t scan_chunks; // chunks its tie scan takes side by side
    bool operator==(const LevelFlags &) const = default;
};

// Each operation of a level on plain arrays, for the tests: vectors of
// lanes 32-bit values, or 2 * lanes 16-bit ones, go in and out in memory.
// An operation the level lacks is null.
struct LevelProbes {
    std::size_t lanes;
    // group_bits of the four vectors at v.
    std::uint32_t (*group_bits)(const std::uint32_t *v);
    // The lanes' bit n after narrow16 of the two vectors at v (bits 0 to
    // 2W - 1 of the result), and of their squares in 16 bits (bits 2W to
    // 4W - 1), through test_bit16 and group_bits16.
    std::uint32_t (*narrow16_bits)(const std::uint32_t *v, int n);
    // min and max of the vectors at a and b, through order and unorder.
    void (*min_max)(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t *min,
                    std::uint32_t *max);
    void (*unit8_bits)(const std::uint32_t *step, std::uint64_t &ties, std::uint64_t &odd_d);
    // Adds the vector at v to the lanes' 64-bit sums at wide.
    void (*add_wide)(std::uint64_t *wide, const std::uint32_t *v);
};

struct KernelLevel {
    const char *name;    // as PIXTALLY_CPU and PIXTALLY_LEVEL name it
    std::uint32_t needs; // CpuFeature bits
    LevelKernels kernels;
    LevelFlags flags;
    LevelProbes probes;
};

// Every level there is, each defined in the file of its namespace's name
// where the build holds it; src/CMakeLists.txt lists the levels.
namespace x86_sse2 {
extern const KernelLevel level;
}
namespace x86_sse41 {
extern const KernelLevel level;
}
namespace x86_avx2 {
extern const KernelLevel level;
}
namespace arm_neon {
extern const KernelLevel level;
}
namespace portable {
extern const KernelLevel level;
}

// The kernels of the level in use.
const LevelKernels &kernels_in_use();

} // namespace pixtally::kernels
