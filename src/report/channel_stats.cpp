#include "channel_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>

namespace {

// Below this every square sum is an exact integer in double precision.
constexpr double exact_limit = 0x1p53;

// Samples up to this square into 32 bits, and 2^16 of them sum into 32 bits.
constexpr pixval vector_sample_limit = 65535;
constexpr std::size_t max_pixels_per_fold = std::size_t{1} << 16;

// One row's figures for the three channels, min and max carried on from the
// tally. Square is std::uint64_t for the row's exact square sums, or double
// for the tally's running square sums with the row's squares added in order.
template <typename Square> struct RowSums {
    pixval min[3];
    pixval max[3];
    std::uint64_t sum[3]; // < 2^28 columns * 2^16
    Square sum_sq[3];
};
using ExactSums = RowSums<std::uint64_t>;
using OrderedSums = RowSums<double>;

pixval largest(const pixval (&samples)[3]) {
    return std::max({samples[0], samples[1], samples[2]});
}

// The plain loop: the rule sample by sample, for the last pixels of a row
// and for samples wider than the vector loops take.
template <typename Square>
void sum_pixels(RowSums<Square> &sums, const pixel *pixels, std::size_t count) {
    for (std::size_t x = 0; x < count; ++x) {
        const pixval samples[3] = {pixels[x].r, pixels[x].g, pixels[x].b};
        for (int c = 0; c < 3; ++c) {
            const pixval v = samples[c];
            sums.min[c] = std::min(sums.min[c], v);
            sums.max[c] = std::max(sums.max[c], v);
            sums.sum[c] += v;
            sums.sum_sq[c] += static_cast<Square>(v) * static_cast<Square>(v);
        }
    }
}

// Wider vector units where the processor has them, chosen once when the
// program loads. The sanitizer build keeps to the baseline code, so the
// test suite runs both.
#ifdef PIXTALLY_BASELINE_ONLY
#define VECTOR_CLONES
#else
#define VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif

using u32x4 = std::uint32_t __attribute__((vector_size(16)));
using i32x4 = std::int32_t __attribute__((vector_size(16)));
using u32x8 = std::uint32_t __attribute__((vector_size(32)));
using u64x4 = std::uint64_t __attribute__((vector_size(32)));
using f64x4 = double __attribute__((vector_size(32)));

// The exact loop reads a row as a flat run of samples, 24 (8 pixels) at a
// time in three vectors of 8, sample i of a block belonging to channel i % 3.
// Squares of samples up to 255 sum in 32-bit lanes; wider ones in 64-bit
// lanes, even and odd apart. Lanes are folded into the row's totals at least
// every 2^16 pixels, before a 32-bit lane could overflow.
constexpr std::size_t block_pixels = 8;

template <bool narrow>
__attribute__((always_inline)) inline void sum_blocks_kernel(ExactSums &sums, const pixel *pixels,
                                                             std::size_t blocks) {
    u32x8 min[3], max[3], sum[3]{}, sum_sq[3]{};
    u64x4 sum_sq_even[3]{}, sum_sq_odd[3]{};
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
            sum[p] += v;
            const u32x8 square = v * v;
            if constexpr (narrow) {
                sum_sq[p] += square;
            } else {
                u64x4 pairs;
                std::memcpy(&pairs, &square, sizeof pairs);
                sum_sq_even[p] += pairs & 0xffffffffu;
                sum_sq_odd[p] += pairs >> 32;
            }
        }
    }
    for (int p = 0; p < 3; ++p) {
        for (int j = 0; j < 8; ++j) {
            const int c = (8 * p + j) % 3;
            sums.min[c] = std::min(sums.min[c], min[p][j]);
            sums.max[c] = std::max(sums.max[c], max[p][j]);
            sums.sum[c] += sum[p][j];
            if constexpr (narrow)
                sums.sum_sq[c] += sum_sq[p][j];
            else
                sums.sum_sq[c] += j % 2 == 0 ? sum_sq_even[p][j / 2] : sum_sq_odd[p][j / 2];
        }
    }
}

VECTOR_CLONES void sum_blocks(ExactSums &sums, const pixel *pixels, std::size_t blocks,
                              bool narrow) {
    if (narrow)
        sum_blocks_kernel<true>(sums, pixels, blocks);
    else
        sum_blocks_kernel<false>(sums, pixels, blocks);
}

// The row's exact sums; false where a sample was too wide for the vector
// loop (the library never delivers one above maxval, but should it).
bool sum_row_exactly(ExactSums &sums, const pixel *row, std::size_t width, pixval maxval) {
    const bool narrow = maxval <= 255;
    std::size_t x = 0;
    while (width - x >= block_pixels) {
        const std::size_t blocks = std::min(width - x, max_pixels_per_fold) / block_pixels;
        sum_blocks(sums, row + x, blocks, narrow);
        x += blocks * block_pixels;
    }
    sum_pixels(sums, row + x, width - x);
    return largest(sums.max) <= (narrow ? 255 : vector_sample_limit);
}

// Past 2^53 each addition rounds on its own, so the squares are added in
// file order: one chain of dependent additions per channel, which bounds the
// speed. The three channels share one vector, so a pixel costs one
// addition's latency, and min, max and sum ride along in the time it waits.
// The packed conversion, unlike the scalar one, does not depend on the
// previous pixel. False where a sample was too wide for it.
VECTOR_CLONES bool sum_row_in_order_packed(OrderedSums &sums, const pixel *row, std::size_t width) {
    u32x4 min = {sums.min[0], sums.min[1], sums.min[2], 0};
    u32x4 max = {sums.max[0], sums.max[1], sums.max[2], 0};
    f64x4 sum_sq = {sums.sum_sq[0], sums.sum_sq[1], sums.sum_sq[2], 0.0};
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
        sums.sum_sq[c] = sum_sq[c];
    }
    return largest(sums.max) <= vector_sample_limit;
}

template <typename Square>
RowSums<Square> start_row(const ChannelTally &tally, Square red, Square green, Square blue) {
    return {{tally.red.min, tally.green.min, tally.blue.min},
            {tally.red.max, tally.green.max, tally.blue.max},
            {},
            {red, green, blue}};
}

// Takes a row's sums into the tally: exact square sums are added, running
// ones replace the tally's.
template <typename Square> void add_row_sums(ChannelTally &tally, const RowSums<Square> &sums) {
    ChannelAccumulator *channels[3] = {&tally.red, &tally.green, &tally.blue};
    for (int c = 0; c < 3; ++c) {
        channels[c]->min = sums.min[c];
        channels[c]->max = sums.max[c];
        channels[c]->sum += sums.sum[c];
        if constexpr (std::is_same_v<Square, double>)
            channels[c]->sum_sq = sums.sum_sq[c];
        else
            channels[c]->sum_sq += static_cast<double>(sums.sum_sq[c]);
    }
}

void write_figures(const char *label, const ChannelFigures &figures) {
    std::printf("%s %5d %5d %5d %5d\n", label, figures.min, figures.avg, figures.max,
                figures.stddev);
}

} // namespace

ChannelTally start_tally(pixval maxval, int width, int height) {
    const ChannelAccumulator start{maxval, 0, 0, 0.0};
    return {start, start, start,
            static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height), maxval};
}

void tally_row(ChannelTally &tally, const pixel *row, int width) {
    const auto columns = static_cast<std::size_t>(width);
    ChannelAccumulator *channels[3] = {&tally.red, &tally.green, &tally.blue};

    // While every square sum stays within 2^53 no addition rounds, so the
    // row's exact integer totals give what adding square by square would.
    if (std::max({tally.red.sum_sq, tally.green.sum_sq, tally.blue.sum_sq}) < exact_limit) {
        ExactSums sums = start_row<std::uint64_t>(tally, 0, 0, 0);
        bool exact = sum_row_exactly(sums, row, columns, tally.maxval);
        for (int c = 0; c < 3; ++c)
            exact = exact && static_cast<std::uint64_t>(channels[c]->sum_sq) + sums.sum_sq[c] <=
                                 static_cast<std::uint64_t>(exact_limit);
        if (exact) {
            add_row_sums(tally, sums);
            return;
        }
    }

    // Adding in order is exact too for a channel still below 2^53.
    const OrderedSums start =
        start_row<double>(tally, tally.red.sum_sq, tally.green.sum_sq, tally.blue.sum_sq);
    OrderedSums sums = start;
    if (tally.maxval > vector_sample_limit || !sum_row_in_order_packed(sums, row, columns)) {
        sums = start;
        sum_pixels(sums, row, columns);
    }
    add_row_sums(tally, sums);
}

ChannelFigures channel_figures(const ChannelAccumulator &channel, std::uint64_t pixel_count) {
    const auto avg = static_cast<std::uint64_t>(channel.sum / pixel_count);
    const auto mean_sq =
        static_cast<std::uint64_t>(static_cast<uint128>(channel.sum_sq) / pixel_count);
    const double avg_d = static_cast<double>(avg);
    const double variance = static_cast<double>(mean_sq) - avg_d * avg_d;
    const int stddev = variance < 0 ? 0 : static_cast<int>(std::sqrt(variance));
    return {static_cast<int>(channel.min), static_cast<int>(avg), static_cast<int>(channel.max),
            stddev};
}

void write_channel_table(const ChannelTally &tally) {
    std::printf("       %5s %5s %5s %5s\n", "min", "avg", "max", "stddev");
    const struct {
        const char *label;
        const ChannelAccumulator &channel;
    } rows[] = {{"  red:", tally.red}, {"green:", tally.green}, {" blue:", tally.blue}};
    for (const auto &row : rows) {
        if (tally.pixel_count == 0)
            std::printf("%s %5s %5s %5s %5s\n", row.label, "-", "-", "-", "-");
        else
            write_figures(row.label, channel_figures(row.channel, tally.pixel_count));
    }
}
