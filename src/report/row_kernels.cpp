// Row-summing kernels: the plain loop, the exact vector loop and the ordered
// vector loop, and where the AVX2 versions of them are built.
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
// - The ordered vector loop (sum_row_in_order) runs from the row in which a
//   square sum may pass 2^53. Each addition then rounds, so the squares are
//   added in file order, one chain of dependent additions per channel. The
//   three channels share one vector of doubles: each lane is one
//   round-to-nearest binary64 addition, exactly the scalar one, as long as
//   nothing fuses or reorders it (the library is built with
//   -ffp-contract=off and without fast math).
//
// - The plain loop (sum_pixels) does the rule sample by sample: for the
//   last pixels of a row, and for samples above 65535, which the vector
//   loops cannot square in 32 bits. The library delivers no such sample, but
//   should it, it is still counted exactly.
//
// The vector loops are written with the compiler's generic vector types, so
// every platform builds them for its own vector unit. On x86-64 with
// function multi-versioning (ifunc: glibc and FreeBSD) an AVX2 version is
// built beside the baseline one and chosen once when the program loads.
// PIXTALLY_BASELINE_ONLY turns that off, so a build can run the baseline
// code on a processor with AVX2; the sanitizer build does, and the test
// suite runs both.
#include "row_kernels.h"

#include <algorithm>
#include <cstring>

#if !defined(PIXTALLY_BASELINE_ONLY) && defined(__x86_64__) &&                                     \
    (defined(__GLIBC__) || defined(__FreeBSD__))
#define VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
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

// The exact loop reads a row as a flat run of samples, 24 (8 pixels) at a
// time in three vectors of 8, sample i of a block belonging to channel i % 3.
constexpr std::size_t block_pixels = 8;

template <bool narrow>
__attribute__((always_inline)) inline void
sum_blocks_kernel(RowSums &sums, std::uint64_t (&sum_sq)[3], const pixel *pixels,
                  std::size_t blocks) {
    u32x8 min[3], max[3], lane_sum[3]{}, lane_sum_sq[3]{};
    u64x4 lane_sum_sq_even[3]{}, lane_sum_sq_odd[3]{};
    for (int p = 0; p < 3; ++p) {
        for (int j = 0; j < 8; ++j) {
            min[p][j] = sums.min[(8 * p + j) % 3];
            max[p][j] = sums.max[(8 * p + j) % 3];
        }
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(pixels);
    for (std::size_t b = 0; b < blocks; ++b) {
        for (int p = 0; p < 3; ++p) {
            u32x8 v;
            std::memcpy(&v, bytes + (3 * b + static_cast<std::size_t>(p)) * sizeof v, sizeof v);
            min[p] = v < min[p] ? v : min[p];
            max[p] = v > max[p] ? v : max[p];
            lane_sum[p] += v;
            const u32x8 square = v * v;
            if constexpr (narrow) {
                lane_sum_sq[p] += square;
            } else {
                u64x4 pairs;
                std::memcpy(&pairs, &square, sizeof pairs);
                lane_sum_sq_even[p] += pairs & 0xffffffffu;
                lane_sum_sq_odd[p] += pairs >> 32;
            }
        }
    }
    for (int p = 0; p < 3; ++p) {
        for (int j = 0; j < 8; ++j) {
            const int c = (8 * p + j) % 3;
            sums.min[c] = std::min(sums.min[c], min[p][j]);
            sums.max[c] = std::max(sums.max[c], max[p][j]);
            sums.sum[c] += lane_sum[p][j];
            if constexpr (narrow)
                sum_sq[c] += lane_sum_sq[p][j];
            else
                sum_sq[c] += j % 2 == 0 ? lane_sum_sq_even[p][j / 2] : lane_sum_sq_odd[p][j / 2];
        }
    }
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
    if (maxval <= vector_sample_limit &&
        sum_pixels_in_order_packed(sums, running_sum_sq, row, width))
        return;
    sums = start;
    std::copy_n(start_sum_sq, 3, running_sum_sq);
    sum_pixels(sums, running_sum_sq, row, width);
}
