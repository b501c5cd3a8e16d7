// The statistics rule: rows into the channel accumulators, and the
// accumulators into the final figures.
#include "channel_accumulator.h"
#include "row_kernels.h"

#include <algorithm>
#include <cmath>

namespace {

// Below this every square sum is an exact integer in double precision.
constexpr double exact_limit = 0x1p53;

RowSums start_row(const ChannelTally &tally) {
    return {{tally.red.min, tally.green.min, tally.blue.min},
            {tally.red.max, tally.green.max, tally.blue.max},
            {}};
}

// Takes a row's min, max and sum into the tally; the square sums are the
// caller's.
void add_row_sums(ChannelAccumulator *const (&channels)[3], const RowSums &sums) {
    for (int c = 0; c < 3; ++c) {
        channels[c]->min = sums.min[c];
        channels[c]->max = sums.max[c];
        channels[c]->sum += sums.sum[c];
    }
}

} // namespace

ChannelTally start_tally(pixval maxval, int width, int height) {
    const ChannelAccumulator start{maxval, 0, 0, 0.0};
    return {start, start, start,
            static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height), maxval};
}

void tally_row(ChannelTally &tally, const pixel *row, int width) {
    const auto columns = static_cast<std::size_t>(width);
    ChannelAccumulator *const channels[3] = {&tally.red, &tally.green, &tally.blue};

    // While every square sum stays within 2^53 no addition rounds, so the
    // row's exact integer totals give what adding square by square would.
    if (std::max({tally.red.sum_sq, tally.green.sum_sq, tally.blue.sum_sq}) < exact_limit) {
        RowSums sums = start_row(tally);
        std::uint64_t row_sum_sq[3] = {};
        bool exact = sum_row_exactly(sums, row_sum_sq, row, columns, tally.maxval);
        for (int c = 0; c < 3; ++c)
            exact = exact && static_cast<std::uint64_t>(channels[c]->sum_sq) + row_sum_sq[c] <=
                                 static_cast<std::uint64_t>(exact_limit);
        if (exact) {
            add_row_sums(channels, sums);
            for (int c = 0; c < 3; ++c)
                channels[c]->sum_sq += static_cast<double>(row_sum_sq[c]);
            return;
        }
    }

    // Adding in order is exact too for a channel still below 2^53.
    RowSums sums = start_row(tally);
    double running_sum_sq[3] = {tally.red.sum_sq, tally.green.sum_sq, tally.blue.sum_sq};
    sum_row_in_order(sums, running_sum_sq, row, columns, tally.maxval);
    add_row_sums(channels, sums);
    for (int c = 0; c < 3; ++c)
        channels[c]->sum_sq = running_sum_sq[c];
}

ChannelFigures channel_figures(const ChannelAccumulator &channel, std::uint64_t pixel_count) {
    const auto avg = static_cast<std::uint64_t>(channel.sum / pixel_count);
    const auto mean_sq =
        static_cast<std::uint64_t>(static_cast<pixtally::uint128>(channel.sum_sq) / pixel_count);
    const double avg_d = static_cast<double>(avg);
    const double variance = static_cast<double>(mean_sq) - avg_d * avg_d;
    const auto stddev =
        variance < 0 ? 0ULL : static_cast<unsigned long long>(std::sqrt(variance));
    return {channel.min, avg, channel.max, stddev};
}
