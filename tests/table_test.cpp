// The statistics table from the real binary.
#include "reference_rule.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

namespace {

const std::string title = "         min   avg   max stddev\n";

std::string header(const std::string &size, int maxval, int format) {
    return "Resolution: " + size + "\nMaximum value: " + std::to_string(maxval) +
           "\nFormat: " + std::to_string(format) + "\n";
}

// The worked 2x2 example, raw and plain, from a file and from standard input.
TEST(Table, TwoByTwoLayoutIsExact) {
    const std::string raw =
        std::string("P6\n2 2\n255\n") + std::string("\0\5\1\0\5\2\3\5\3\4\5\4", 12);
    const std::string plain = "P3\n2 2\n255\n0 5 1  0 5 2\n3 5 3  4 5 4\n";
    const std::string table = title + "  red:     0     1     4     2\n"
                                      "green:     5     5     5     0\n"
                                      " blue:     1     2     4     1\n";
    const std::string path = scratch_file("two.ppm", raw);
    for (const RunResult &run :
         {run_pixtally({"-vv", "-f", path}), run_pixtally({"-vv"}, {.input = raw})}) {
        EXPECT_EQ(run.out, header("2x2", 255, 20534) + table);
        EXPECT_EQ(run.status, 0);
    }
    const RunResult run = run_pixtally({"-vv"}, {.input = plain});
    EXPECT_EQ(run.out, header("2x2", 255, 20531) + table);
    // More -v than two changes nothing.
    EXPECT_EQ(run_pixtally({"-vvv"}, {.input = plain}).out, run.out);
    EXPECT_EQ(run_pixtally({"-v", "-v", "-v", "-v"}, {.input = plain}).out, run.out);
}

// Random images of every depth, raw and plain, from a file and from
// standard input, against the rule applied sample by sample, at every level
// of the row kernels that this machine runs.
TEST(Table, RandomImagesOfEveryDepthFollowTheRule) {
    const int width = 37, height = 23;
    std::mt19937 random(2026);
    for (unsigned maxval : {1u, 2u, 100u, 255u, 256u, 1000u, 65535u}) {
        std::uniform_int_distribution<unsigned> sample(0, maxval);
        std::string raw = "P6\n37 23\n" + std::to_string(maxval) + "\n";
        std::string plain = "P3\n37 23\n" + std::to_string(maxval) + "\n";
        ReferenceChannel channels[3] = {ReferenceChannel(maxval), ReferenceChannel(maxval),
                                        ReferenceChannel(maxval)};
        for (int i = 0; i < width * height * 3; ++i) {
            const unsigned v = sample(random);
            channels[i % 3].add(v);
            if (maxval > 255)
                raw += static_cast<char>(v >> 8);
            raw += static_cast<char>(v & 255);
            plain += std::to_string(v) + (i % 3 == 2 ? "\n" : " ");
        }
        const std::int64_t n = width * height;
        const std::string table = title + channels[0].line("  red:", n) +
                                  channels[1].line("green:", n) + channels[2].line(" blue:", n);
        for (const auto &[image, format] : {std::pair{raw, 20534}, std::pair{plain, 20531}}) {
            const std::string expected = header("37x23", static_cast<int>(maxval), format) + table;
            const std::string path = scratch_file("random.ppm", image);
            for (const std::string &level : levels_here()) {
                const RunSetup at_level{.env = {{"PIXTALLY_LEVEL", level}}};
                EXPECT_EQ(run_pixtally({"-vv", "-f", path}, at_level).out, expected) << level;
            }
            EXPECT_EQ(run_pixtally({"-vv"}, {.input = image}).out, expected) << maxval;
        }
    }
}

TEST(Table, GrayAndBitmapImagesAreWidenedToThreeEqualChannels) {
    const RunResult gray = run_pixtally({"-vv"}, {.input = std::string("P5\n3 1\n7\n\1\0\7", 12)});
    EXPECT_EQ(gray.out, header("3x1", 7, 20533) + title +
                            "  red:     0     2     7     3\n"
                            "green:     0     2     7     3\n"
                            " blue:     0     2     7     3\n");
    // Black is 0 and white the maxval the library gives bitmaps: 255 now, 1
    // in the 10.0 series.
    const std::string bitmap = "P1\n4 1\n1 0 0 1\n";
    const unsigned white = library_verdict(bitmap).maxval;
    ReferenceChannel channel(white);
    for (const unsigned v : {0u, white, white, 0u})
        channel.add(v);
    EXPECT_EQ(run_pixtally({"-vv"}, {.input = bitmap}).out,
              header("4x1", static_cast<int>(white), 20529) + title + channel.line("  red:", 4) +
                  channel.line("green:", 4) + channel.line(" blue:", 4));
}

TEST(Table, ImagesWithoutPixelsGetDashes) {
    const std::string dashes = title + "  red:     -     -     -     -\n"
                                       "green:     -     -     -     -\n"
                                       " blue:     -     -     -     -\n";
    for (const std::string size : {"0 3", "3 0", "0 0"}) {
        const RunResult run = run_pixtally({"-vv"}, {.input = "P6\n" + size + "\n255\n"});
        EXPECT_EQ(run.out.substr(run.out.find(title)), dashes) << size;
        EXPECT_EQ(run.status, 0);
    }
}

TEST(Table, AFullScaleSixteenBitImageShowsZeroDeviation) {
    const std::string path =
        scratch_file("full16.ppm", make_image({"constant", "3000", "3000", "65535", "65535"}));
    const RunResult run = run_pixtally({"-vv", "-f", path});
    EXPECT_EQ(run.out, header("3000x3000", 65535, 20534) + title +
                           "  red: 65535 65535 65535     0\n"
                           "green: 65535 65535 65535     0\n"
                           " blue: 65535 65535 65535     0\n");
}

// 65536 x 32769 pixels, more than 2^31 - 1, streamed through a pipe and never
// stored. Every row is red = x mod 256, green = x / 256, blue = 255 - red,
// so the sums follow from one row.
TEST(LargeImage, MoreThanTwoToTheThirtyOnePixelsThroughAPipe) {
    const std::uint64_t width = 65536, height = 32769, n = width * height;
    std::uint64_t red = 0, red_sq = 0, green = 0, green_sq = 0;
    for (std::uint64_t x = 0; x < width; ++x) {
        red += x % 256, red_sq += (x % 256) * (x % 256);
        green += x / 256, green_sq += (x / 256) * (x / 256);
    }
    auto line = [&](const char *label, std::uint64_t sum, std::uint64_t sum_sq) {
        const std::uint64_t avg = sum * height / n, mean_sq = sum_sq * height / n;
        const auto stddev = static_cast<int>(
            std::sqrt(static_cast<double>(mean_sq) - static_cast<double>(avg * avg)));
        char text[64];
        std::snprintf(text, sizeof text, "%s %5d %5d %5d %5d\n", label, 0, static_cast<int>(avg),
                      255, stddev);
        return std::string(text);
    };
    const RunResult run = run_shell(shell_program(MAKE_IMAGE_BINARY) + " pattern 65536 32769 | " +
                                    shell_program(PIXTALLY_BINARY) + " -vv");
    EXPECT_EQ(run.out, header("65536x32769", 255, 20534) + title + line("  red:", red, red_sq) +
                           line("green:", green, green_sq) + line(" blue:", red, red_sq));
    EXPECT_EQ(run.status, 0);
}

} // namespace
