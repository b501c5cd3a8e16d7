// Hostile and malformed input against the real binary: every run ends with
// status 0 or 1, never a signal, and status 1 always comes with a
// diagnostic that names the tool.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

struct Case {
    const char *name;
    std::string input;
    int status;                  // at -vv
    std::string diagnostic = {}; // start of standard error when status is 1
};

const std::string dashes = "         min   avg   max stddev\n"
                           "  red:     -     -     -     -\n"
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

TEST(Hostile, MalformedImagesAreRejectedByTheLibraryInTheToolsName) {
    const Case cases[] = {
        {"empty", "", 1, "pixtally: Error reading first byte"},
        {"text", "hello, world\n", 1, "pixtally: "},
        {"bad magic", "P9\n1 1\n255\nabc", 1, "pixtally: "},
        {"maxval 0", "P6\n1 1\n0\nabc", 1, "pixtally: maxval of input image is zero"},
        {"maxval 65536", "P6\n1 1\n65536\nabcdef", 1, "pixtally: maxval of input image (65536)"},
        {"raw sample above maxval", "P6\n1 1\n10\n\x01\x02\x0b", 1,
         "pixtally: Blue sample value 11 is greater than maxval (10)"},
        {"plain sample above maxval", "P3\n1 1\n10\n1 2 11\n", 1,
         "pixtally: Blue sample value 11 is greater than maxval (10)"},
        {"width too large", "P6\n99999999999 1\n255\n", 1, "pixtally: "},
        {"height too large", "P6\n1 2147483647\n255\n", 1, "pixtally: "},
        {"four-channel PAM",
         "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\nabcdefgh", 1,
         "pixtally: Cannot treat PAM image"},
        {"cut short raw", "P6\n4 4\n255\nabcdef", 1,
         "pixtally: Unexpected EOF reading row of PPM image."},
        {"cut short plain", "P3\n4 4\n255\n1 2 3 4", 1, "pixtally: "},
        {"cut short 16-bit", "P6\n2 1\n65535\n\1\2\3", 1, "pixtally: "},
        {"cut short bitmap", "P4\n9 3\n\xff\x80", 1, "pixtally: "},
    };
    for (const Case &c : cases)
        expect_clean_end(run_pixtally({"-vv"}, {.input = c.input}), c.status, c.diagnostic, c.name);
}

TEST(Hostile, CutShortPixelsPassBelowTheTableAndFailWithIt) {
    const std::string cut = "P6\n4 4\n255\nabcdef";
    expect_clean_end(run_pixtally({}, {.input = cut}), 0, "", "verbosity 0");
    expect_clean_end(run_pixtally({"-v"}, {.input = cut}), 0, "", "verbosity 1");
    const RunResult table = run_pixtally({"-vv"}, {.input = cut});
    expect_clean_end(table, 1, "pixtally: Unexpected EOF", "verbosity 2");
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

TEST(Hostile, PamWithOneOrThreeChannelsIsReportedExactly) {
    const RunResult gray = run_pixtally(
        {"-vv"}, {.input = "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\n"
                           "ENDHDR\n\x0a\x14"});
    expect_clean_end(gray, 0, "", "one channel");
    EXPECT_EQ(gray.out, "Resolution: 2x1\nMaximum value: 255\nFormat: 20533\n"
                        "         min   avg   max stddev\n"
                        "  red:    10    15    20     5\n"
                        "green:    10    15    20     5\n"
                        " blue:    10    15    20     5\n");
    const RunResult rgb =
        run_pixtally({"-vv"}, {.input = "P7\nWIDTH 1\nHEIGHT 2\nDEPTH 3\nMAXVAL 255\nTUPLTYPE RGB\n"
                                        "ENDHDR\n\x01\x02\x03\x03\x02\x01"});
    expect_clean_end(rgb, 0, "", "three channels");
    EXPECT_EQ(rgb.out.substr(rgb.out.find("  red:")), "  red:     1     2     3     1\n"
                                                      "green:     2     2     2     0\n"
                                                      " blue:     1     2     3     1\n");
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
    EXPECT_EQ(run.err, "Failed to allocate row buffer!\n: errno=12 (Cannot allocate memory)\n");
    EXPECT_EQ(run.status, 1);
    // Without rows there are no pixels to hold, however wide the image.
    const RunResult empty = limited("100000000 0");
    expect_clean_end(empty, 0, "", "no rows");
    EXPECT_NE(empty.out.find(dashes), std::string::npos);
}

TEST(Hostile, DirectoriesAndClosedInput) {
    expect_clean_end(run_pixtally({"-vv", "-f", "/"}), 1, "pixtally: ", "directory");
    expect_clean_end(run_pixtally({"-vv"}, {.close_input = true}), 1,
                     "pixtally: ", "closed standard input");
}

} // namespace
