// Row-summing kernels: the plain loop, the exact vector loop, the ordered
// vector loop and the rounding loop, and where the AVX2 versions are built.
//
// Which path runs when, and why each one is exact:
//
// - The exact vector loop (sum_row_exactly) runs while no channel's square
//   sum can pass 2^53 within the row. Below 2^53 binary64 addition of
//   integers never rounds, so the row's squares summed as integers give
//   what adding them one by one in double precision would. Samples up to
//   255 square into 32-bit lanes; wider ones into 64-bit lanes, even and odd
//   apart. Every lane is folded into 64-bit totals at least every 2^16
//   pixels, before a 32-bit lane could overflow.
//
// - From the row in which a square sum may pass 2^53 each addition may
//   round, and sum_row_in_order takes over. On x86-64 processors with AVX2
//   and POPCNT it runs the rounding loop (rounding::sum_row below), which
//   reproduces every rounding with integer arithmetic while the sums stay
//   below 2^56 and inside one binade for a run of pixels; why that is exact
//   is told where it is defined. Everywhere else, and for every run it does
//   not take, the ordered vector loop adds the squares in file order, one
//   chain of dependent additions per channel. The three channels share one
//   vector of doubles: each lane is one round-to-nearest binary64 addition,
//   exactly the scalar one, as long as nothing fuses or reorders it (the
//   library is built with -ffp-contract=off and without fast math).
//
// - The plain loop (sum_pixels) does the rule sample by sample: for the
//   last pixels of a row, and for samples above 65535, which the vector
//   loops cannot square in 32 bits. The library delivers no such sample, but
//   should it, it is still counted exactly.
//
// The vector loops are written with the compiler's generic vector types, so
// every platform builds them for its own vector unit. On x86-64 with
// function multi-versioning (ifunc: glibc and FreeBSD) an AVX2 version is
// built beside the baseline one and chosen once when the program loads, and
// the rounding loop is built for AVX2 alone and asked for the processor's
// support per row. PIXTALLY_BASELINE_ONLY turns both off, so a build can run
// the baseline code on a processor with AVX2; the sanitizer build does, and
// the test suite runs both.
#include "row_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if !defined(PIXTALLY_BASELINE_ONLY) && defined(__x86_64__) &&                                     \
    (defined(__GLIBC__) || defined(__FreeBSD__))
#define PIXTALLY_X86_DISPATCH 1
#define VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#include <immintrin.h>
#else
#define VECTOR_CLONES
#endif

namespace {

// Samples up to this square into 32 bits, and 2^16 of them sum into 32 bits.
constexpr pixval vector_sample_limit = 65535;
constexpr std::size_t max_pixels_per_fold = std::size_t{1} << 16;

using u32x4 = std::uint32_t __attribute__((vector_size(16)));
using i32x4 = std::int32_t __attribute__((vector_size(16)));
using u32x8 = std::uint32_t __attribute__((vector_size(32)));
using u64x4 = std::uint64_t __attribute__((vector_size(32)));
using f64x4 = double __attribute__((vector_size(32)));

pixval largest(const pixval (&samples)[3]) {
    return std::max({samples[0], samples[1], samples[2]});
}

template <typename Square>
void sum_pixels(RowSums &sums, Square (&sum_sq)[3], const pixel *pixels, std::size_t count) {
    for (std::size_t x = 0; x < count; ++x) {
        const pixval samples[3] = {pixels[x].r, pixels[x].g, pixels[x].b};
        for (int c = 0; c < 3; ++c) {
            const pixval v = samples[c];
            sums.min[c] = std::min(sums.min[c], v);
            sums.max[c] = std::max(sums.max[c], v);
            sums.sum[c] += v;
            sum_sq[c] += static_cast<Square>(v) * static_cast<Square>(v);
        }
    }
}

// The vector loops read a row as a flat run of samples, 24 (8 pixels) at a
// time in three vectors of 8, sample i of a block belonging to channel i % 3.
constexpr std::size_t block_pixels = 8;

// Adds each lane of three vectors to the total of its channel.
__attribute__((always_inline)) inline void add_lanes(const u32x8 (&lanes)[3],
                                                     std::uint64_t (&total)[3]) {
    for (int p = 0; p < 3; ++p)
        for (int j = 0; j < 8; ++j)
            total[(8 * p + j) % 3] += lanes[p][j];
}

// The running min, max, sum and exact square sum of each lane. Squares of
// samples up to 255 sum in 32-bit lanes; wider ones in 64-bit lanes, even
// and odd apart.
template <bool narrow> struct LaneSums {
    u32x8 min[3], max[3], sum[3]{}, sum_sq[3]{};
    u64x4 sum_sq_even[3]{}, sum_sq_odd[3]{};

    __attribute__((always_inline)) explicit LaneSums(const RowSums &sums) {
        for (int p = 0; p < 3; ++p)
            for (int j = 0; j < 8; ++j) {
                min[p][j] = sums.min[(8 * p + j) % 3];
                max[p][j] = sums.max[(8 * p + j) % 3];
            }
    }

    // Takes vector p of a block, and gives its squares.
    __attribute__((always_inline)) void add(int p, const unsigned char *bytes, u32x8 &square) {
        u32x8 v;
        std::memcpy(&v, bytes, sizeof v);
        min[p] = v < min[p] ? v : min[p];
        max[p] = v > max[p] ? v : max[p];
        sum[p] += v;
        square = v * v;
        if constexpr (narrow) {
            sum_sq[p] += square;
        } else {
            u64x4 pairs;
            std::memcpy(&pairs, &square, sizeof pairs);
            sum_sq_even[p] += pairs & 0xffffffffu;
            sum_sq_odd[p] += pairs >> 32;
        }
    }

    __attribute__((always_inline)) void finish(RowSums &sums, std::uint64_t (&row_sum_sq)[3]) {
        for (int p = 0; p < 3; ++p)
            for (int j = 0; j < 8; ++j) {
                const int c = (8 * p + j) % 3;
                sums.min[c] = std::min(sums.min[c], min[p][j]);
                sums.max[c] = std::max(sums.max[c], max[p][j]);
            }
        add_lanes(sum, sums.sum);
        if constexpr (narrow) {
            add_lanes(sum_sq, row_sum_sq);
        } else {
            // Lane j of the squares went to lane j / 2 of the even or odd sums.
            for (int p = 0; p < 3; ++p)
                for (int j = 0; j < 8; ++j)
                    row_sum_sq[(8 * p + j) % 3] +=
                        j % 2 == 0 ? sum_sq_even[p][j / 2] : sum_sq_odd[p][j / 2];
        }
    }
};

template <bool narrow>
__attribute__((always_inline)) inline void
sum_blocks_kernel(RowSums &sums, std::uint64_t (&sum_sq)[3], const pixel *pixels,
                  std::size_t blocks) {
    LaneSums<narrow> lanes(sums);
    const auto *bytes = reinterpret_cast<const unsigned char *>(pixels);
    u32x8 square;
    for (std::size_t b = 0; b < blocks; ++b)
        for (int p = 0; p < 3; ++p)
            lanes.add(p, bytes + (3 * b + static_cast<std::size_t>(p)) * sizeof square, square);
    lanes.finish(sums, sum_sq);
}

VECTOR_CLONES void sum_blocks(RowSums &sums, std::uint64_t (&sum_sq)[3], const pixel *pixels,
                              std::size_t blocks, bool narrow) {
    if (narrow)
        sum_blocks_kernel<true>(sums, sum_sq, pixels, blocks);
    else
        sum_blocks_kernel<false>(sums, sum_sq, pixels, blocks);
}

// The packed conversion, unlike the scalar one, does not depend on the
// previous pixel, so min, max and sum ride along while each addition waits
// for the one before. False where a sample was too wide for it.
VECTOR_CLONES bool sum_pixels_in_order_packed(RowSums &sums, double (&running_sum_sq)[3],
                                              const pixel *row, std::size_t width) {
    u32x4 min = {sums.min[0], sums.min[1], sums.min[2], 0};
    u32x4 max = {sums.max[0], sums.max[1], sums.max[2], 0};
    f64x4 sum_sq = {running_sum_sq[0], running_sum_sq[1], running_sum_sq[2], 0.0};
    for (std::size_t x = 0; x < width;) {
        const std::size_t end = x + std::min(width - x, max_pixels_per_fold);
        u32x4 sum{};
        for (; x < end; ++x) {
            const u32x4 v = {row[x].r, row[x].g, row[x].b, 0};
            min = v < min ? v : min;
            max = v > max ? v : max;
            sum += v;
            const f64x4 wide = __builtin_convertvector(__builtin_convertvector(v, i32x4), f64x4);
            sum_sq += wide * wide;
        }
        for (int c = 0; c < 3; ++c)
            sums.sum[c] += sum[c];
    }
    for (int c = 0; c < 3; ++c) {
        sums.min[c] = min[c];
        sums.max[c] = max[c];
        running_sum_sq[c] = sum_sq[c];
    }
    return largest(sums.max) <= vector_sample_limit;
}

#ifdef PIXTALLY_X86_DISPATCH

// The rounding loop. A running square sum S at or past 2^53 lies in a binade
// [2^k, 2^(k+1)) whose doubles are the multiples of its unit u = 2^j,
// j = k - 52: S = m*u with m < 2^53. Adding a square x < 2^32 gives
// m' = m + d + t, where d = (x + u/2 - 1) >> j is x/u rounded half down and t
// is 1 only on a tie (x mod u = u/2) when m + d is odd: ties to even. Only
// the parity of m carries from one square to the next, so while the sum
// stays in its binade the squares need not be added one after another.
// Squares make this simpler still (odd ones are 1 mod 8, even ones carry an
// even power of two), which gives, with n_odd the number of odd samples:
//
//   j = 1: every d is even, and ties are the odd squares. So m only turns
//          even, at its first tie if it was odd: m' = m + (sum x - n_odd)/2,
//          plus 1 if m was odd and a sample was odd.
//   j = 2: no ties, and d = x >> 2: m' = m + (sum x - n_odd)/4.
//   j = 3: d = x >> 3, odd exactly when v is 3 or 5 mod 8; ties are the
//          samples 2 mod 4. m' = m + (sum x - n_odd - 4 n_ties)/8 + the ties
//          met with m odd, which a scan over the bits of one block finds.
//
// Below 2^53 (j = 0) the sum is exact: m' = m + sum x. A run of pixels is
// taken this way only if no sum can leave its binade within it, and only
// for j up to 3, sums below 2^56; any other run goes through the ordered
// loop.
namespace rounding {

constexpr std::uint64_t max_square = std::uint64_t{65535} * 65535;
constexpr std::size_t step_pixels = 16; // 48 samples: one 64-bit word of flags
constexpr std::size_t run_pixels = 2048;
constexpr int max_unit_exponent = 3;

// S = m * 2^j: j = 0 below 2^53, where m is S itself.
struct Binade {
    int j;
    std::uint64_t m;
};

Binade binade_of(double sum) {
    const int j = sum < 0x1p53 ? 0 : std::ilogb(sum) - 52;
    return {j, static_cast<std::uint64_t>(std::ldexp(sum, -j))};
}

// Whether count more pixels keep m below 2^53, each adding at most
// (max_square >> j) + 2 to it.
bool stays_in_binade(const Binade &b, std::size_t count) {
    return b.j <= max_unit_exponent &&
           b.m + count * ((max_square >> b.j) + 2) < (std::uint64_t{1} << 53);
}

// Bits of a 48-bit step word: sample s of the step belongs to channel s % 3.
constexpr std::uint64_t channel_bits(int c) {
    std::uint64_t bits = 0;
    for (int s = c; s < 48; s += 3)
        bits |= std::uint64_t{1} << s;
    return bits;
}
constexpr std::uint64_t channel_mask[3] = {channel_bits(0), channel_bits(1), channel_bits(2)};

// Per channel, across a run at j = 3: the ties met with m odd, and the
// parity of m as it goes.
struct TieCount {
    std::uint64_t odd_ties[3] = {};
    std::uint64_t parity = 0; // bit c: channel c's m is odd
};

// One step's flags, for the channels in channels: which samples are ties
// and which have an odd d. A tie is met with m odd when the samples since
// the channel's last tie (or since the start, with the incoming parity of m)
// hold an odd number of odd d: a prefix XOR over each channel's samples,
// restarted after every tie, which also leaves the outgoing parity at the
// channel's last sample.
__attribute__((target("avx2,popcnt"))) inline void
count_ties(TieCount &count, std::uint64_t ties, std::uint64_t odd_d, std::uint64_t channels) {
    ties &= channels;
    std::uint64_t x = (odd_d & channels) ^ count.parity;
    std::uint64_t starts = (ties << 3) | 7;
    for (int shift : {3, 6, 12, 24}) {
        x ^= (x << shift) & ~starts;
        starts |= starts << shift;
    }
    const std::uint64_t odd_ties = x & ties;
    for (int c = 0; c < 3; ++c)
        count.odd_ties[c] +=
            static_cast<unsigned>(__builtin_popcountll(odd_ties & channel_mask[c]));
    // After a tie m is even; the parity then is that of the odd d since.
    count.parity = ((x & ~ties) >> 45) & 7 & (channels & 7);
}

__attribute__((target("avx2,popcnt"), always_inline)) inline std::uint64_t sign_bits(u32x8 v) {
    __m256i bits;
    std::memcpy(&bits, &v, sizeof bits);
    return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(bits)));
}

// Sums a run of whole steps: min, max and sum into sums, and per channel the
// exact square sum, the odd samples, the ties and, for the channels in
// tie_channels, the ties met with m odd. With squares, a tie at j = 3 is a
// square 4 mod 8 (bit 2 set) and d = x >> 3 is odd exactly when bit 3 is.
template <bool with_ties>
__attribute__((target("avx2,popcnt"))) inline void
sum_run(RowSums &sums, std::uint64_t (&sum_sq)[3], std::uint64_t (&odd)[3],
        std::uint64_t (&ties)[3], TieCount &count, std::uint64_t tie_channels, const pixel *pixels,
        std::size_t steps) {
    LaneSums<false> lanes(sums);
    u32x8 lane_odd[3]{}, lane_ties[3]{};
    const auto *bytes = reinterpret_cast<const unsigned char *>(pixels);
    for (std::size_t step = 0; step < steps; ++step) {
        std::uint64_t tie_bits = 0, odd_d_bits = 0;
        for (int g = 0; g < 6; ++g) {
            const int p = g % 3;
            const unsigned char *block = bytes + (6 * step + static_cast<std::size_t>(g)) * 32;
            u32x8 square;
            lanes.add(p, block, square);
            lane_odd[p] += square & 1;
            if constexpr (with_ties) {
                lane_ties[p] += (square >> 2) & 1;
                tie_bits |= sign_bits(square << 29) << (8 * g);
                odd_d_bits |= sign_bits(square << 28) << (8 * g);
            }
        }
        if constexpr (with_ties)
            count_ties(count, tie_bits, odd_d_bits, tie_channels);
    }
    lanes.finish(sums, sum_sq);
    add_lanes(lane_odd, odd);
    add_lanes(lane_ties, ties);
}

// The row in runs: each run that the rounding can take in whole steps is
// summed at once, anything else in order. False where a sample was too wide
// for it.
__attribute__((target("avx2,popcnt"))) bool sum_row(RowSums &sums, double (&running_sum_sq)[3],
                                                    const pixel *row, std::size_t width) {
    std::size_t x = 0;
    while (x < width) {
        const std::size_t steps = std::min(width - x, run_pixels) / step_pixels;
        const std::size_t pixels = steps * step_pixels;
        Binade binades[3];
        bool fits = steps > 0;
        std::uint64_t tie_channels = 0;
        for (int c = 0; c < 3; ++c) {
            binades[c] = binade_of(running_sum_sq[c]);
            fits = fits && stays_in_binade(binades[c], pixels);
            if (binades[c].j == 3)
                tie_channels |= channel_mask[c];
        }
        if (!fits) {
            const std::size_t count = std::max(pixels, std::min(width - x, step_pixels));
            sum_pixels_in_order_packed(sums, running_sum_sq, row + x, count);
            x += count;
            continue;
        }
        std::uint64_t sum_sq[3] = {}, odd[3] = {}, ties[3] = {};
        TieCount count;
        for (int c = 0; c < 3; ++c)
            count.parity |= (binades[c].m & 1) << c;
        if (tie_channels != 0)
            sum_run<true>(sums, sum_sq, odd, ties, count, tie_channels, row + x, steps);
        else
            sum_run<false>(sums, sum_sq, odd, ties, count, tie_channels, row + x, steps);
        for (int c = 0; c < 3; ++c) {
            Binade &b = binades[c];
            switch (b.j) {
            case 0:
                b.m += sum_sq[c];
                break;
            case 1:
                b.m += (sum_sq[c] - odd[c]) / 2 + ((b.m & 1) != 0 && odd[c] != 0 ? 1 : 0);
                break;
            case 2:
                b.m += (sum_sq[c] - odd[c]) / 4;
                break;
            default:
                b.m += (sum_sq[c] - odd[c] - 4 * ties[c]) / 8 + count.odd_ties[c];
                break;
            }
            running_sum_sq[c] = std::ldexp(static_cast<double>(b.m), b.j);
        }
        x += pixels;
    }
    return largest(sums.max) <= vector_sample_limit;
}

} // namespace rounding

// Asked per row: a load of what the processor reported at start, and no
// guarded static, which would pull in the C++ runtime library.
bool can_round_without_chain() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
}

#endif

} // namespace

bool sum_row_exactly(RowSums &sums, std::uint64_t (&row_sum_sq)[3], const pixel *row,
                     std::size_t width, pixval maxval) {
    const bool narrow = maxval <= 255;
    std::size_t x = 0;
    while (width - x >= block_pixels) {
        const std::size_t blocks = std::min(width - x, max_pixels_per_fold) / block_pixels;
        sum_blocks(sums, row_sum_sq, row + x, blocks, narrow);
        x += blocks * block_pixels;
    }
    sum_pixels(sums, row_sum_sq, row + x, width - x);
    return largest(sums.max) <= (narrow ? 255 : vector_sample_limit);
}

void sum_row_in_order(RowSums &sums, double (&running_sum_sq)[3], const pixel *row,
                      std::size_t width, pixval maxval) {
    const RowSums start = sums;
    double start_sum_sq[3];
    std::copy_n(running_sum_sq, 3, start_sum_sq);
    if (maxval <= vector_sample_limit) {
#ifdef PIXTALLY_X86_DISPATCH
        const bool summed = can_round_without_chain()
                                ? rounding::sum_row(sums, running_sum_sq, row, width)
                                : sum_pixels_in_order_packed(sums, running_sum_sq, row, width);
#else
        const bool summed = sum_pixels_in_order_packed(sums, running_sum_sq, row, width);
#endif
        if (summed)
            return;
    }
    sums = start;
    std::copy_n(start_sum_sq, 3, running_sum_sq);
    sum_pixels(sums, running_sum_sq, row, width);
}
