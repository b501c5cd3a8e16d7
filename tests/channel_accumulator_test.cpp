// The channel statistics on made-up rows and sums, against a plain
// sample-by-sample implementation of the rule.
#include "channel_accumulator.h"
#include "channel_report.h"
#include "kernels.h"
#include "level.h"
#include "levels_here.h"
#include "reference_rule.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using pixtally::kernels::KernelLevel;

ChannelFigures figures_of(const ReferenceChannel &reference, std::int64_t n) {
    const auto f = reference.figures(n);
    using figure = unsigned long long;
    return {figure(f.min), figure(f.avg), figure(f.max), figure(f.stddev)};
}

void PrintTo(const ChannelFigures &f, std::ostream *os) {
    *os << "{" << f.min << ", " << f.avg << ", " << f.max << ", " << f.stddev << "}";
}

using Rows = std::vector<std::vector<pixel>>;

// Tallies rows with the tool and with the reference, and checks that every
// accumulator and every figure agrees. The square sums may start elsewhere
// than at 0, as if earlier rows had brought them there.
void expect_matches_reference(const Rows &rows, pixval maxval,
                              const std::array<double, 3> &start_sum_sq = {}) {
    const int width = static_cast<int>(rows.front().size());
    const int height = static_cast<int>(rows.size());
    ChannelTally tally = start_tally(maxval, width, height);
    ReferenceChannel red(maxval), green(maxval), blue(maxval);
    tally.red.sum_sq = start_sum_sq[0];
    tally.green.sum_sq = start_sum_sq[1];
    tally.blue.sum_sq = start_sum_sq[2];
    red.sum_sq = static_cast<std::int64_t>(start_sum_sq[0]);
    green.sum_sq = static_cast<std::int64_t>(start_sum_sq[1]);
    blue.sum_sq = static_cast<std::int64_t>(start_sum_sq[2]);
    for (const auto &row : rows) {
        tally_row(tally, row.data(), width);
        for (const pixel &p : row) {
            red.add(p.r);
            green.add(p.g);
            blue.add(p.b);
        }
    }
    const std::int64_t n = std::int64_t{width} * height;
    ASSERT_EQ(tally.pixel_count, static_cast<std::uint64_t>(n));
    const std::pair<const ChannelAccumulator &, const ReferenceChannel &> channels[] = {
        {tally.red, red}, {tally.green, green}, {tally.blue, blue}};
    for (const auto &[mine, ref] : channels) {
        EXPECT_EQ(mine.sum, static_cast<pixtally::uint128>(ref.sum));
        EXPECT_EQ(mine.sum_sq, static_cast<double>(ref.sum_sq));
        EXPECT_EQ(channel_figures(mine, tally.pixel_count), figures_of(ref, n));
    }
}

Rows random_rows(int width, int height, pixval low, pixval high, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<pixval> sample(low, high);
    Rows rows(static_cast<std::size_t>(height),
              std::vector<pixel>(static_cast<std::size_t>(width)));
    for (auto &row : rows)
        for (pixel &p : row)
            p = {sample(random), sample(random), sample(random)};
    return rows;
}

// Every check of the row loops runs at each level of the kernels that this
// machine runs.
class ChannelStats : public testing::TestWithParam<const KernelLevel *> {
  protected:
    void SetUp() override { pixtally::kernels::use_level(*GetParam()); }
    void TearDown() override { pixtally::kernels::use_level(*levels_here().back()); }
};

INSTANTIATE_TEST_SUITE_P(Levels, ChannelStats, testing::ValuesIn(levels_here()), level_test_name);

TEST_P(ChannelStats, WorkedTwoByTwoExample) {
    const pixel top[] = {{0, 5, 1}, {0, 5, 2}}, bottom[] = {{3, 5, 3}, {4, 5, 4}};
    ChannelTally tally = start_tally(255, 2, 2);
    tally_row(tally, top, 2);
    tally_row(tally, bottom, 2);

    EXPECT_EQ(tally.red.min, 0u);
    EXPECT_EQ(tally.red.max, 4u);
    EXPECT_EQ(tally.red.sum, 7u);
    EXPECT_EQ(tally.red.sum_sq, 25.0);
    EXPECT_EQ(tally.blue.sum_sq, 30.0);
    EXPECT_EQ(channel_figures(tally.red, 4), (ChannelFigures{0, 1, 4, 2}));
    EXPECT_EQ(channel_figures(tally.green, 4), (ChannelFigures{5, 5, 5, 0}));
    EXPECT_EQ(channel_figures(tally.blue, 4), (ChannelFigures{1, 2, 4, 1}));
}

TEST_P(ChannelStats, OnePixelAndChannelsStuckAtMaxval) {
    const pixel one[] = {{7, 200, 200}};
    ChannelTally tally = start_tally(200, 1, 1);
    tally_row(tally, one, 1);
    EXPECT_EQ(channel_figures(tally.red, 1), (ChannelFigures{7, 7, 7, 0}));
    // min starts at maxval and never moves when every sample is maxval
    EXPECT_EQ(channel_figures(tally.green, 1), (ChannelFigures{200, 200, 200, 0}));
}

TEST_P(ChannelStats, MatchesTheRuleOnRandomImagesOfEveryDepth) {
    unsigned seed = 1;
    for (pixval maxval : {1u, 2u, 7u, 100u, 255u, 256u, 1023u, 4095u, 65534u, 65535u})
        for (int width : {1, 3, 8, 17, 64, 1001})
            expect_matches_reference(random_rows(width, 9, 0, maxval, seed++), maxval);
    // Rows long enough that high samples overflow any 32-bit lane that is
    // not folded in time: 8-bit squares after about 528,000 pixels, 16-bit
    // samples after about 524,000.
    for (pixval maxval : {255u, 65535u})
        expect_matches_reference(random_rows(600'003, 2, maxval - 3, maxval, seed++), maxval);
}

TEST_P(ChannelStats, SamplesAboveMaxvalStillCountExactly) {
    // The current library rejects such samples; the 10.0 series lets them
    // through, plain ones up to 2^32 - 1. They are counted as they are.
    for (pixval high : {300u, 70'000u})
        for (int width : {5, 40})
            expect_matches_reference(random_rows(width, 3, 0, high, high), 255);
    const pixel widest[] = {{4294967295u, 0, 7}};
    ChannelTally tally = start_tally(10, 1, 1);
    tally_row(tally, widest, 1);
    EXPECT_EQ(channel_figures(tally.red, 1), (ChannelFigures{10, 4294967295u, 4294967295u, 0}));
}

// 16-bit squares push the square sum past 2^53 after about two million
// samples; from there on each addition rounds and order matters.
TEST_P(ChannelStats, MatchesTheRuleWhereTheSquareSumRounds) {
    // 1500x1500 near full scale: crosses 2^53 partway through a row.
    expect_matches_reference(random_rows(1500, 1500, 60000, 65535, 42), 65535);
    // One very wide row that crosses on its own, then rows past the crossing.
    expect_matches_reference(random_rows(2'200'000, 3, 0, 65535, 7), 65535);

    // Past 2^53 each binade adds in steps of its own unit, 2, 4, 8, ...: the
    // three channels in three binades at once, and sums that leave theirs
    // within the rows (below 2^53 into the first, out of the third into one
    // whose unit is 16).
    const double m = 0x1p52 + 12345.0; // odd
    expect_matches_reference(random_rows(4001, 6, 0, 65535, 11), 65535,
                             {std::ldexp(m, 1), std::ldexp(m + 1, 2), std::ldexp(m + 1, 3)});
    expect_matches_reference(random_rows(4001, 6, 60000, 65535, 12), 65535,
                             {0x1p53 - 0x1p35, 0x1p54 - 0x1p36 - 4, 0x1p56 - 0x1p38 - 8});
    // Rows full of ties: odd samples at unit 2; samples 2 mod 4, among
    // others that make m odd, at unit 8.
    std::mt19937 random(13);
    Rows ties(5, std::vector<pixel>(2003));
    for (auto &row : ties)
        for (pixel &p : row) {
            const pixval v = (random() & 0x3ff8) | std::array<pixval, 4>{1, 2, 3, 5}[random() % 4];
            p = {v | 1, v, (v & ~7u) | 6};
        }
    expect_matches_reference(ties, 65535,
                             {std::ldexp(m, 1), std::ldexp(m, 3), std::ldexp(m + 1, 3)});
    // A whole run in which every sample is a tie (2 mod 4 at unit 8), so that
    // every place of the scan's words counts a tie in every step: with every
    // channel at unit 8, and with one at unit 2, where these are no ties.
    Rows all_ties(1, std::vector<pixel>(pixtally::kernels::run_pixels));
    for (pixel &p : all_ties[0]) {
        const pixval v = (random() & 0x3ffc) | 2;
        p = {v, v ^ 4, v};
    }
    expect_matches_reference(all_ties, 65535,
                             {std::ldexp(m, 3), std::ldexp(m + 1, 3), std::ldexp(m, 3)});
    expect_matches_reference(all_ties, 65535,
                             {std::ldexp(m + 1, 3), std::ldexp(m, 1), std::ldexp(m, 3)});
}

TEST_P(ChannelStats, FullScaleImageRoundsIntoANegativeVarianceShownAsZero) {
    const std::vector<pixel> row(3000, pixel{65535, 65535, 65535});
    ChannelTally tally = start_tally(65535, 3000, 3000);
    for (int y = 0; y < 3000; ++y)
        tally_row(tally, row.data(), 3000);
    // The rounded square sum falls short of the exact 9e6 * 65535^2.
    EXPECT_LT(tally.red.sum_sq, 9e6 * 65535.0 * 65535.0);
    EXPECT_EQ(channel_figures(tally.red, tally.pixel_count),
              (ChannelFigures{65535, 65535, 65535, 0}));
    expect_matches_reference(Rows(200, row), 65535);
}

TEST(Figures, FromSumsBeyondThirtyTwoBitCountsAndSixtyFourBitSums) {
    // 65536 x 32769 pixels: more than 2^31 - 1.
    const std::uint64_t n = std::uint64_t{65536} * 32769;
    const ChannelAccumulator mid{0, 255, pixtally::uint128{n} * 127 + n / 2,
                                 static_cast<double>(n) * 16384};
    EXPECT_EQ(channel_figures(mid, n), (ChannelFigures{0, 127, 255, 15}));

    // A square sum of 2^70 over 2^38 pixels: the mean square is 2^32, beyond
    // what the sum itself could hold as a 64-bit integer.
    const std::uint64_t many = std::uint64_t{1} << 38;
    const ChannelAccumulator huge{0, 65535, pixtally::uint128{many} * 65535, 0x1p70};
    EXPECT_EQ(channel_figures(huge, many), (ChannelFigures{0, 65535, 65535, 362}));
}

TEST_P(ChannelStats, SquareSumKeepsAddingInDoublePastTheSignedRange) {
    ChannelTally tally = start_tally(65535, 4, 1);
    tally.red.sum_sq = 0x1p63 - 1024.0;
    const pixel row[] = {{65535, 0, 0}, {65535, 0, 0}, {1, 0, 0}, {65535, 0, 0}};
    tally_row(tally, row, 4);
    double expected = 0x1p63 - 1024.0;
    for (const pixel &p : row)
        expected += static_cast<double>(p.r) * p.r;
    EXPECT_EQ(tally.red.sum_sq, expected);
    EXPECT_GT(tally.red.sum_sq, 0x1p63);
}

// The square sums of rows tallied from the given start, against the same
// squares added one by one in double precision, which is the rule (its
// round trip through a 64-bit integer is the identity below 2^63, and past
// it the tool goes on in double).
void expect_square_sums_in_order(const Rows &rows, const std::array<double, 3> &start,
                                 const std::string &what) {
    const int width = static_cast<int>(rows.front().size());
    ChannelTally tally = start_tally(65535, width, static_cast<int>(rows.size()));
    ChannelAccumulator *const channels[3] = {&tally.red, &tally.green, &tally.blue};
    std::array<double, 3> expected = start;
    for (int c = 0; c < 3; ++c)
        channels[c]->sum_sq = start[c];
    for (const auto &row : rows) {
        tally_row(tally, row.data(), width);
        for (const pixel &p : row) {
            const pixval samples[3] = {p.r, p.g, p.b};
            for (int c = 0; c < 3; ++c)
                expected[c] += static_cast<double>(samples[c]) * samples[c];
        }
    }
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(channels[c]->sum_sq, expected[c])
            << what << ", channel " << c << ": off by " << channels[c]->sum_sq - expected[c];
}

// Rows that carry each channel's sum from one binade into the next, at
// every power of two from 2^53 to 2^64: the runs before and after the
// crossing are reckoned by rounding, up to 2^63 (unit 2^10), the run that
// crosses and everything past 2^63 in order.
TEST_P(ChannelStats, SumsCrossEveryBinadeFrom2To53To2To64) {
    using pixtally::kernels::run_pixels;
    // Adds about 2^46 to each channel.
    const Rows rows = random_rows(static_cast<int>(2 * run_pixels + 17), 3, 0, 65535, 21);
    for (int k = 53; k <= 64; ++k)
        expect_square_sums_in_order(
            rows,
            {std::ldexp(1.0, k) - 0x1p43, std::ldexp(1.0, k) - 0x1p42, std::ldexp(1.0, k) - 0x1p44},
            "crossing 2^" + std::to_string(k));
}

// Where a run (of the kernels' run_pixels) just fits in its binade and where
// it just does not, for units 1, 2, 4 and 8 and both parities of the sum, with rows of
// every shape around a step and a run, so that rounding and adding in order
// hand over inside one row.
TEST_P(ChannelStats, RunsThatJustFitTheirBinadeAndJustDoNot) {
    using pixtally::kernels::run_pixels;
    const Rows longest = random_rows(static_cast<int>(2 * run_pixels + 17), 1, 60000, 65535, 22);
    for (int j = 0; j <= 3; ++j) {
        const double unit = std::ldexp(1.0, j), top = std::ldexp(1.0, 53 + j);
        // The red channel's largest m whose first run ends inside the binade.
        auto fits = [&](double m) {
            double s = m * unit;
            for (std::size_t x = 0; x < run_pixels; ++x)
                s += static_cast<double>(longest[0][x].r) * longest[0][x].r;
            return s < top;
        };
        double low = j == 0 ? 0 : 0x1p52, high = 0x1p53;
        while (high - low > 1) {
            const double mid = std::floor((low + high) / 2);
            (fits(mid) ? low : high) = mid;
        }
        for (const std::size_t width : {std::size_t{15}, std::size_t{16}, std::size_t{17},
                                        run_pixels - 1, run_pixels + 1, 2 * run_pixels + 17}) {
            const Rows rows(1, std::vector<pixel>(longest[0].begin(), longest[0].begin() + width));
            for (const double m : {low - 1, low, low + 1, low + 2})
                expect_square_sums_in_order(rows, {m * unit, m * unit, (m + 1) * unit},
                                            "unit " + std::to_string(j) + ", width " +
                                                std::to_string(width) + ", m " +
                                                std::to_string(m - low) + " from the last fit");
        }
    }
}

// The parity of m carried from one step and one run to the next: a row of
// zeros but for a sample whose d is odd (3 mod 8 at unit 8) and a tie
// (2 mod 4) right after it, across the boundary of a step, a group of steps
// and a run; at unit 2, where the first sample is itself a tie, and at unit
// 8; with m odd in red and even in green.
TEST_P(ChannelStats, ParityOfTheSumCarriesAcrossStepsAndRuns) {
    using pixtally::kernels::run_pixels;
    for (const int j : {1, 3})
        for (const std::size_t at : {std::size_t{15}, std::size_t{47}, run_pixels - 1}) {
            Rows rows(1, std::vector<pixel>(2 * run_pixels + 17, pixel{0, 0, 0}));
            rows[0][at] = {8003, 8003, 4002};
            rows[0][at + 1] = {4002, 4002, 8003};
            const double odd = std::ldexp(0x1p52 + 1, j), even = std::ldexp(0x1p52, j);
            expect_square_sums_in_order(rows, {odd, even, odd},
                                        "unit bits " + std::to_string(j) + ", at " +
                                            std::to_string(at));
        }
}

// Past 2^53 each square may round, and ties go to even. One square at a
// time, for every sample value, onto sums at the bottom and near the top of
// the binades whose unit is 2 ... 2^10, with the sum's last unit odd and
// even; the three channels in one binade, and in three. The other fifteen
// pixels of the row add nothing.
TEST_P(ChannelStats, EverySquareRoundsAsOneAdditionInDouble) {
    std::vector<std::array<double, 3>> starts;
    const double m_even[] = {0x1p52, 0x1p53 - 0x1p36, 0x1p53 - 2.0};
    for (int j = 1; j <= 10; ++j) {
        auto at = [&](int m, int parity, int unit_bits) {
            return std::ldexp(m_even[m] + parity, unit_bits);
        };
        starts.push_back({at(0, 0, j), at(1, 1, j), at(2, 1, j)});
        starts.push_back({at(0, 1, j), at(1, 0, j), at(2, 0, j)});
        if (j <= 8)
            starts.push_back({at(0, 1, j), at(1, 0, j + 1), at(2, 1, j + 2)});
    }
    std::vector<pixel> row(16, pixel{0, 0, 0});
    int failures = 0;
    for (const auto &start : starts)
        for (pixval v = 0; v <= 65535 && failures < 10; ++v) {
            const std::size_t at = v % 16;
            row[at] = {v, v, v};
            ChannelTally tally = start_tally(65535, 16, 1);
            tally.red.sum_sq = start[0];
            tally.green.sum_sq = start[1];
            tally.blue.sum_sq = start[2];
            tally_row(tally, row.data(), 16);
            row[at] = {0, 0, 0};
            const double square = static_cast<double>(v) * v;
            const double got[3] = {tally.red.sum_sq, tally.green.sum_sq, tally.blue.sum_sq};
            for (int c = 0; c < 3; ++c)
                if (got[c] != start[c] + square) {
                    ADD_FAILURE() << "v " << v << " onto " << std::hexfloat << start[c] << ": "
                                  << got[c] << ", not " << start[c] + square;
                    ++failures;
                }
        }
}

// Reading goes through the library: gray and bitmap images arrive as three
// equal channels, bitmaps as 0 for black and maxval for white, with the
// maxval the library gives them (255 now, 1 in the 10.0 series).
TEST_P(ChannelStats, TalliesRowsReadByTheLibraryIncludingGrayAndBitmap) {
    struct Case {
        std::string image;
        std::vector<pixval> (*samples)(pixval maxval);
    } cases[] = {
        {"P2\n3 1\n7\n1 0 7\n",
         [](pixval) {
             return std::vector<pixval>{1, 0, 7};
         }},
        {"P1\n4 1\n1 0 0 1\n",
         [](pixval white) {
             return std::vector<pixval>{0, white, white, 0};
         }},
        {"P3\n2 1\n9\n1 1 1 3 3 3\n",
         [](pixval) {
             return std::vector<pixval>{1, 3};
         }},
    };
    for (const Case &c : cases) {
        std::string bytes = c.image;
        FILE *stream = fmemopen(bytes.data(), bytes.size(), "rb");
        ImageHeader header{};
        ppm_readppminit(stream, &header.width, &header.height, &header.maxval, &header.format);
        std::vector<pixel> row(static_cast<std::size_t>(header.width));
        const ChannelTally tally = tally_rows(stream, header, row.data());
        std::fclose(stream);
        ReferenceChannel reference(header.maxval);
        for (const pixval v : c.samples(header.maxval))
            reference.add(v);
        for (const ChannelAccumulator *channel : {&tally.red, &tally.green, &tally.blue})
            EXPECT_EQ(channel_figures(*channel, tally.pixel_count),
                      figures_of(reference, header.width))
                << c.image;
    }
}

} // namespace
