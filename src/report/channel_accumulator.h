// The channel accumulators and the final figures: the statistics rule alone,
// apart from any reading or writing, so it can be checked on made-up values.
#pragma once

#include <cstdint>

#include "libnetpbm.h"

namespace pixtally {
// Wide enough for the sample sum of any image the library accepts: up to
// about 2^58 pixels of 16-bit samples.
__extension__ typedef unsigned __int128 uint128;
} // namespace pixtally

// Running figures for one channel.
//
// The square sum is defined as a 64-bit integer to which each square is
// added in double precision: convert the sum to double, add v*v, truncate
// back. Every value that rule produces is an integer that double holds
// exactly, so the round trip through the integer is the identity and the sum
// can live in a double. That also gives it a sound meaning past 2^63, where
// the integer would overflow: the same double additions simply go on.
struct ChannelAccumulator {
    pixval min;
    pixval max;
    pixtally::uint128 sum;
    double sum_sq;
};

struct ChannelTally {
    ChannelAccumulator red, green, blue;
    std::uint64_t pixel_count; // 64-bit: images may hold more than 2^31 pixels
    pixval maxval;             // bounds every sample, which picks the row loop
};

// min starts at the image's maxval, not at the largest pixval, so a channel
// that never drops below maxval reports maxval.
ChannelTally start_tally(pixval maxval, int width, int height);

// Adds one row of width pixels to the tally, with the same result as adding
// its samples one by one in order.
void tally_row(ChannelTally &tally, const pixel *row, int width);

// Wide enough for any sample the library delivers: the 10.0 series lets
// plain samples above maxval through, up to 2^32 - 1.
struct ChannelFigures {
    unsigned long long min;
    unsigned long long avg;
    unsigned long long max;
    unsigned long long stddev;
    bool operator==(const ChannelFigures &) const = default;
};

// avg and the mean square are truncating integer quotients; the standard
// deviation is the truncated root of mean square minus squared average, and
// 0 where rounding of a huge square sum makes that negative. pixel_count
// must not be 0.
ChannelFigures channel_figures(const ChannelAccumulator &channel, std::uint64_t pixel_count);
