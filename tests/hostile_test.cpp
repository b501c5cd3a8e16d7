// Hostile and malformed input against the real binary: every run ends with
// status 0 or 1, never a signal, and status 1 always comes with a
// diagnostic that names the tool.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

const std::string title = "         min   avg   max stddev\n";
const std::string dashes = title + "  red:     -     -     -     -\n"
                                   "green:     -     -     -     -\n"
                                   " blue:     -     -     -     -\n";

void expect_clean_end(const RunResult &run, int status, const std::string &diagnostic,
                      const std::string &what) {
    EXPECT_EQ(run.signal, 0) << what;
    EXPECT_EQ(run.status, status) << what << "\n" << run.err;
    if (status == 1) {
        EXPECT_EQ(run.err.rfind("pixtally: ", 0), 0u) << what << "\n" << run.err;
        EXPECT_EQ(run.err.rfind(diagnostic, 0), 0u) << what << "\n" << run.err;
    } else {
        EXPECT_EQ(run.err, "") << what;
    }
}

// What the library rejects fails with status 1 and the library's own words
// in the tool's name; what it accepts is reported in full. The generations
// of the library draw that line in different places (the 10.0 series takes
// maxval 0 and samples above maxval, and reads plain samples up to
// 2^32 - 1) and word their messages differently, so the bare read loop
// tells what this one does. Some images every generation rejects.
struct Case {
    const char *name;
    std::string input;
    std::string table_if_accepted = {}; // empty: every generation rejects it
};

void expect_as_the_library_decides(const Case &c) {
    const LibraryVerdict verdict = library_verdict(c.input);
    const RunResult run = run_pixtally({"-vv"}, {.input = c.input});
    if (c.table_if_accepted.empty())
        EXPECT_FALSE(verdict.accepted) << c.name;
    if (!verdict.accepted) {
        expect_clean_end(run, 1, verdict.message, c.name);
        EXPECT_EQ(run.err, verdict.message) << c.name;
        return;
    }
    expect_clean_end(run, 0, "", c.name);
    const std::size_t table = run.out.find(title);
    ASSERT_NE(table, std::string::npos) << c.name;
    EXPECT_EQ(run.out.substr(table + title.size()), c.table_if_accepted) << c.name;
}

TEST(Hostile, MalformedImagesAreRejectedByTheLibraryInTheToolsName) {
    const std::string one_pixel_at_10 = "  red:     1     1     1     0\n"
                                        "green:     2     2     2     0\n"
                                        " blue:    10    11    11     0\n";
    const Case cases[] = {
        {"empty", ""},
        {"text", "hello, world\n"},
        {"bad magic", "P9\n1 1\n255\nabc"},
        {"maxval 0", "P6\n1 1\n0\nabc",
         "  red:     0    97    97     0\ngreen:     0    98    98     0\n"
         " blue:     0    99    99     0\n"},
        {"maxval 65536", "P6\n1 1\n65536\nabcdef"},
        {"raw sample above maxval", "P6\n1 1\n10\n\x01\x02\x0b", one_pixel_at_10},
        {"plain sample above maxval", "P3\n1 1\n10\n1 2 11\n", one_pixel_at_10},
        // Figures past the five columns, never negative.
        {"plain sample of 32 bits", "P3\n1 1\n10\n1 2 4294967295\n",
         "  red:     1     1     1     0\ngreen:     2     2     2     0\n"
         " blue:    10 4294967295 4294967295     0\n"},
        {"width too large", "P6\n99999999999 1\n255\n"},
        {"height too large", "P6\n1 2147483647\n255\n"},
        {"four-channel PAM",
         "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\nabcdefgh"},
        {"cut short raw", "P6\n4 4\n255\nabcdef"},
        {"cut short plain", "P3\n4 4\n255\n1 2 3 4"},
        {"cut short 16-bit", "P6\n2 1\n65535\n\1\2\3"},
        {"cut short bitmap", "P4\n9 3\n\xff\x80"},
    };
    for (const Case &c : cases)
        expect_as_the_library_decides(c);
}

TEST(Hostile, CutShortPixelsPassBelowTheTableAndFailWithIt) {
    const std::string cut = "P6\n4 4\n255\nabcdef";
    expect_clean_end(run_pixtally({}, {.input = cut}), 0, "", "verbosity 0");
    expect_clean_end(run_pixtally({"-v"}, {.input = cut}), 0, "", "verbosity 1");
    const RunResult table = run_pixtally({"-vv"}, {.input = cut});
    expect_clean_end(table, 1, library_verdict(cut).message, "verbosity 2");
    // The header lines were written before the rows were read.
    EXPECT_EQ(table.out, "Resolution: 4x4\nMaximum value: 255\nFormat: 20534\n");
}

TEST(Hostile, ImagesWithoutPixelsEndAtOnce) {
    // Two billion rows of no columns hold no bytes: no time is spent on them.
    for (const std::string size : {"0 2000000000", "100000000 0", "0 0"}) {
        const RunResult run = run_pixtally({"-vv"}, {.input = "P6\n" + size + "\n255\n"});
        expect_clean_end(run, 0, "", size);
        EXPECT_NE(run.out.find(dashes), std::string::npos) << size;
    }
}

TEST(Hostile, PamWithOneOrThreeChannelsIsReportedExactlyWhereTheLibraryReadsIt) {
    expect_as_the_library_decides(
        {"one channel",
         "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n\x0a\x14",
         "  red:    10    15    20     5\ngreen:    10    15    20     5\n"
         " blue:    10    15    20     5\n"});
    expect_as_the_library_decides(
        {"three channels",
         "P7\nWIDTH 1\nHEIGHT 2\nDEPTH 3\nMAXVAL 255\nTUPLTYPE "
         "RGB\nENDHDR\n\x01\x02\x03\x03\x02\x01",
         "  red:     1     2     3     1\ngreen:     2     2     2     0\n"
         " blue:     1     2     3     1\n"});
}

// A header that claims 100,000,000 columns on a file of a few bytes must
// fail through the library without the 1.2 GB row buffer being touched.
TEST(Hostile, HugeClaimedWidthFailsWithoutUsingItsMemory) {
    const long baseline_kib = run_pixtally({"-vv"}, {.input = "P6\n1 1\n255\nabc"}).max_rss_kib;
    for (const std::string magic : {"P6", "P3"}) {
        const RunResult run = run_pixtally(
            {"-vv"}, {.input = magic + "\n100000000 1\n255\n1 2 3 4 5 6 7 8 9 10 11 12"});
        expect_clean_end(run, 1, "pixtally: ", magic);
        // AddressSanitizer maps shadow memory for every allocation, and an
        // emulator keeps its own account of the mapping: both cost some
        // memory, though far from the 1.2 GB of a touched buffer.
        if (!sanitized)
            EXPECT_LT(run.max_rss_kib, baseline_kib + (emulated() ? 64 : 8) * 1024) << magic;
    }
}

TEST(Hostile, ARowBufferThatCannotBeHadIsAFatalErrorUnlessNoneIsNeeded) {
    if (sanitized || emulated())
        GTEST_SKIP() << "the sanitizer or the emulator needs more address space than the limit";
#if defined(__APPLE__)
    GTEST_SKIP() << "macOS does not enforce an address-space limit";
#endif
    // 100,000,000 columns need 1.2 GB of address space; allow 200 MB.
    auto limited = [](const std::string &size) {
        return run_shell("ulimit -v 200000; printf 'P6\\n" + size + "\\n255\\n' | " +
                         shell_program(PIXTALLY_BINARY) + " -vv");
    };
    const RunResult run = limited("100000000 1");
    EXPECT_EQ(run.err, "Failed to allocate row buffer!\n" + errno_line(ENOMEM));
    EXPECT_EQ(run.status, 1);
    // Without rows there are no pixels to hold, however wide the image.
    const RunResult empty = limited("100000000 0");
    expect_clean_end(empty, 0, "", "no rows");
    EXPECT_NE(empty.out.find(dashes), std::string::npos);
}

TEST(Hostile, DirectoriesAndClosedInput) {
    // A directory cannot be opened as an image: that is said before any line.
    const RunResult directory = run_pixtally({"-vv", "-f", "/"});
    EXPECT_EQ(directory.out, "");
    EXPECT_EQ(directory.err, "Failed to open file!\n" + errno_line(EISDIR));
    EXPECT_EQ(directory.status, 1);
    expect_clean_end(run_pixtally({"-vv"}, {.close_input = true}), 1,
                     "pixtally: ", "closed standard input");
}

} // namespace
