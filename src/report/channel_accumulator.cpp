// The statistics rule: rows into the channel accumulators, and the
// accumulators into the final figures.
#include "channel_accumulator.h"
#include "kernels.h"

#include <cmath>

ChannelTally start_tally(pixval maxval, int width, int height) {
    const ChannelAccumulator start{maxval, 0, 0, 0.0};
    return {start, start, start,
            static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height), maxval};
}

void tally_row(ChannelTally &tally, const pixel *row, int width) {
    ChannelAccumulator *const channels[3] = {&tally.red, &tally.green, &tally.blue};
    pixtally::kernels::RowSums sums{};
    for (int c = 0; c < 3; ++c) {
        sums.min[c] = channels[c]->min;
        sums.max[c] = channels[c]->max;
        sums.sum_sq[c] = channels[c]->sum_sq;
    }
    pixtally::kernels::add_row(sums, row, static_cast<std::size_t>(width), tally.maxval);
    for (int c = 0; c < 3; ++c) {
        channels[c]->min = sums.min[c];
        channels[c]->max = sums.max[c];
        channels[c]->sum += sums.sum[c];
        channels[c]->sum_sq = sums.sum_sq[c];
    }
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
