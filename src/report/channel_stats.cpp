#include "channel_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Below this every square sum is an exact integer in double precision.
constexpr std::uint64_t exact_limit = std::uint64_t{1} << 53;

struct RowSums {
    pixval min;
    pixval max;
    std::uint64_t sum;    // < 2^31 columns * 2^16
    std::uint64_t sum_sq; // < 2^31 columns * 2^32
};

template <pixval pixel::*sample>
RowSums sum_row(const pixel *row, int width, pixval min, pixval max) {
    RowSums sums{min, max, 0, 0};
    for (int x = 0; x < width; ++x) {
        const pixval v = row[x].*sample;
        sums.min = std::min(sums.min, v);
        sums.max = std::max(sums.max, v);
        sums.sum += v;
        sums.sum_sq += std::uint64_t{v} * v;
    }
    return sums;
}

template <pixval pixel::*sample>
void add_row(ChannelAccumulator &channel, const pixel *row, int width) {
    const RowSums sums = sum_row<sample>(row, width, channel.min, channel.max);
    channel.min = sums.min;
    channel.max = sums.max;
    channel.sum += sums.sum;

    // While the sum stays within 2^53 no addition rounds, so the row's exact
    // integer total gives what adding square by square would.
    if (channel.sum_sq <= static_cast<double>(exact_limit) &&
        static_cast<std::uint64_t>(channel.sum_sq) + sums.sum_sq <= exact_limit) {
        channel.sum_sq += static_cast<double>(sums.sum_sq);
        return;
    }
    // Past it each addition rounds on its own, so they are made in order.
    double sum_sq = channel.sum_sq;
    for (int x = 0; x < width; ++x) {
        const double v = row[x].*sample;
        sum_sq += v * v;
    }
    channel.sum_sq = sum_sq;
}

void write_figures(const char *label, const ChannelFigures &figures) {
    std::printf("%s %5d %5d %5d %5d\n", label, figures.min, figures.avg, figures.max,
                figures.stddev);
}

} // namespace

ChannelTally start_tally(pixval maxval, int width, int height) {
    const ChannelAccumulator start{maxval, 0, 0, 0.0};
    return {start, start, start,
            static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height)};
}

void tally_row(ChannelTally &tally, const pixel *row, int width) {
    add_row<&pixel::r>(tally.red, row, width);
    add_row<&pixel::g>(tally.green, row, width);
    add_row<&pixel::b>(tally.blue, row, width);
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
