// The real binary, end to end: exact standard output, standard error and
// exit status.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const std::string banner =
    "pixtally v0.1, per-channel statistics of Netpbm images, built on libnetpbm\n\n";
const std::string help = banner +
                         "-f file  ppm-file to analyse\n"
                         "-v       be even more verbose (multiple (max 3) for more details)\n"
                         "-V       print version and exit\n"
                         "-h       this help\n";
const std::string open_failed = "Failed to open file!\n" + errno_line(ENOENT);

// 640x480 raw and plain images with maxval 255; the pixel data never
// matters below -vv.
std::string raw_640x480() {
    return "P6\n640 480\n255\n" + std::string(640 * 480 * 3, '\x10');
}
std::string plain_640x480() {
    std::string image = "P3\n640 480\n255\n";
    for (int i = 0; i < 640 * 480; ++i)
        image += "1 2 3\n";
    return image;
}

const std::string header_640x480 = "Resolution: 640x480\nMaximum value: 255\n";

void expect_run(const RunResult &run, const std::string &out, const std::string &err, int status) {
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.status, status);
}

TEST(Texts, VersionAndHelp) {
    expect_run(run_pixtally({"-V"}), banner, "", 0);
    expect_run(run_pixtally({"-h"}), help, "", 0);
    // Both end the run before any file is opened.
    expect_run(run_pixtally({"-V", "-f", "missing.ppm"}), banner, "", 0);
    expect_run(run_pixtally({"-f", "missing.ppm", "-V"}), banner, "", 0);
    expect_run(run_pixtally({"-h", "-q"}), help, "", 0);
}

// The parser's wording is the platform's own ("invalid option -- 'q'" with
// glibc, "illegal option -- q" on the BSDs, "unrecognized option: q" with
// musl); the letter it names is not.
TEST(Texts, BadOptionsGetTheParsersDiagnosticAndTheHelp) {
    const std::pair<std::vector<std::string>, char> cases[] = {
        {{"-q"}, 'q'}, {{"-v", "-f"}, 'f'}, {{"-q", "-V"}, 'q'}, {{"-+"}, '+'}};
    for (const auto &[args, letter] : cases) {
        const RunResult run = run_pixtally(args);
        EXPECT_EQ(run.out, help);
        EXPECT_EQ(run.status, 1);
        const std::regex names_letter(std::string(".*: .*(-- '?[") + letter + "]'?|: [" + letter +
                                      "])\n");
        EXPECT_TRUE(std::regex_match(run.err, names_letter)) << run.err;
    }
}

TEST(Input, StandardInputByDefaultAndTheLastFileWins) {
    const std::string b = scratch_file("b.ppm", raw_640x480());
    expect_run(run_pixtally({}, {.input = raw_640x480()}), header_640x480, "", 0);
    expect_run(run_pixtally({"-f", "never-opened.ppm", "-v", "-f", b}),
               header_640x480 + "Format: 20534\n", "", 0);
    expect_run(run_pixtally({"-f" + b}), header_640x480, "", 0);
}

// Operands are never read, and the first is named on standard error, so
// that "pixtally image.ppm" does not seem to hang on the terminal; a lone
// "-" names standard input, which is read anyway.
TEST(Input, TheOptionListEndsAtAnOperandDoubleDashOrLoneDash) {
    const RunSetup stdin_image{.input = plain_640x480()};
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"x.ppm", "-v"}, "x.ppm"}, {{"--", "-v"}, "-v"}, {{"-", "-v"}, "-v"}};
    for (const auto &[args, operand] : cases)
        expect_run(run_pixtally(args, stdin_image), header_640x480,
                   "pixtally: ignoring operand '" + operand + "'; name an input file with -f\n", 0);
    expect_run(run_pixtally({"-v", "--", "-h"}, stdin_image), header_640x480 + "Format: 20531\n",
               "pixtally: ignoring operand '-h'; name an input file with -f\n", 0);
    expect_run(run_pixtally({"-"}, stdin_image), header_640x480, "", 0);
}

TEST(Input, OpenFailures) {
    expect_run(run_pixtally({"-f", "/nonexistent/a.ppm"}), "", open_failed, 1);
    expect_run(run_pixtally({"-f", ""}, {.input = raw_640x480()}), "", open_failed, 1);
    // After -f, a lone "-" is a file name like any other.
    expect_run(run_pixtally({"-f", "-"}, {.input = raw_640x480()}), "", open_failed, 1);
}

TEST(Input, UnreadableFile) {
    const std::string path = scratch_file("secret.ppm", raw_640x480());
    chmod(path.c_str(), 0);
    expect_run(run_pixtally({"-f", path}, {.as_nobody = true}), "",
               "Failed to open file!\n" + errno_line(EACCES), 1);
}

// PIXTALLY_LEVEL runs a lower level of the row kernels; a level that this
// build or this processor lacks is named on standard error with the level
// that runs instead, and the run goes on as it would have.
TEST(Input, PixtallyLevelChoosesALowerLevelOrSaysWhichRunsInstead) {
    // 16-bit, and long enough for the square sums to pass 2^55, where they
    // round at unit 8.
    const std::string image =
        scratch_file("levels.ppm", make_image({"high", "3100", "3000", "60000", "65535", "8"}));
    const RunResult highest = run_pixtally({"-vv", "-f", image});
    ASSERT_EQ(highest.status, 0);
    const std::vector<std::string> levels = levels_here();
    for (const std::string &level : levels)
        expect_run(run_pixtally({"-vv", "-f", image}, {.env = {{"PIXTALLY_LEVEL", level}}}),
                   highest.out, "", 0);
    expect_run(run_pixtally({"-vv", "-f", image}, {.env = {{"PIXTALLY_LEVEL", ""}}}), highest.out,
               "", 0);

    const RunSetup unknown{.env = {{"PIXTALLY_LEVEL", "avx512"}}};
    const std::regex instead("pixtally: PIXTALLY_LEVEL=avx512 is not a level of this build "
                             "\\(([a-z0-9.]+, )*[a-z0-9.]+\\); " +
                             std::regex_replace(levels.back(), std::regex("\\."), "\\.") +
                             " runs instead\n");
    const RunResult report = run_pixtally({"-vv", "-f", image}, unknown);
    EXPECT_EQ(report.out, highest.out);
    EXPECT_TRUE(std::regex_match(report.err, instead)) << report.err;
    EXPECT_EQ(report.status, 0);
    const RunResult missing = run_pixtally({"-f", "/nonexistent/a.ppm"}, unknown);
    EXPECT_TRUE(missing.err.ends_with(open_failed)) << missing.err;
    EXPECT_EQ(missing.status, 1);
}

TEST(HeaderReport, RawAndPlainAtVerbosityZeroAndOne) {
    const std::string raw = scratch_file("raw.ppm", raw_640x480());
    const std::string plain = scratch_file("plain.ppm", plain_640x480());
    expect_run(run_pixtally({"-f", raw}), header_640x480, "", 0);
    expect_run(run_pixtally({"-v", "-f", raw}), header_640x480 + "Format: 20534\n", "", 0);
    expect_run(run_pixtally({"-f", plain}), header_640x480, "", 0);
    expect_run(run_pixtally({"-vf", plain}), header_640x480 + "Format: 20531\n", "", 0);
}

TEST(HeaderReport, CutShortPixelsAreNotReadBelowTheTable) {
    const RunSetup cut{.input = "P6\n640 480\n255\nabc"};
    expect_run(run_pixtally({}, cut), header_640x480, "", 0);
    expect_run(run_pixtally({"-v"}, cut), header_640x480 + "Format: 20534\n", "", 0);
    // The table reads them, and the library names the tool when they end,
    // after the header lines in a file too, not only on a terminal.
    expect_run(run_pixtally({"-vv"}, cut), header_640x480 + "Format: 20534\n",
               library_verdict(cut.input).message, 1);
    RunSetup merged = cut;
    merged.err_to_out = true;
    EXPECT_EQ(run_pixtally({"-vv"}, merged).out,
              header_640x480 + "Format: 20534\n" + library_verdict(cut.input).message);
}

TEST(Output, AReportThatCannotBeWrittenIsAFailure) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full here";
    const std::string full = "Failed to write output!\n" + errno_line(ENOSPC);
    const std::string image = scratch_file("full.ppm", raw_640x480());
    for (const auto &args :
         {std::vector<std::string>{"-h"}, {"-V"}, {"-f", image}, {"-vv", "-f", image}}) {
        const RunResult run = run_pixtally(args, {.output_path = "/dev/full"});
        EXPECT_EQ(run.err, full);
        EXPECT_EQ(run.status, 1);
    }
    // The help after a bad option is lost as well, and that is said too.
    const RunResult bad = run_pixtally({"-q"}, {.output_path = "/dev/full"});
    EXPECT_TRUE(bad.err.ends_with(full)) << bad.err;
    EXPECT_EQ(bad.status, 1);
}

// A pipe whose reader has gone ends the tool by SIGPIPE, as it ends cat:
// pipelines rely on it. Where the caller ignores the signal, the write
// fails, and that is said.
TEST(Output, APipeWithoutReaderEndsTheRunBySigpipeUnlessIgnored) {
    const std::string image = scratch_file("pipe.ppm", raw_640x480());
    const RunResult killed = run_pixtally({"-vv", "-f", image}, {.output_to_gone_reader = true});
    EXPECT_EQ(killed.signal, SIGPIPE);
    EXPECT_EQ(killed.err, "");
    const RunResult ignored =
        run_pixtally({"-vv", "-f", image}, {.output_to_gone_reader = true, .ignore_sigpipe = true});
    EXPECT_EQ(ignored.err, "Failed to write output!\n" + errno_line(EPIPE));
    EXPECT_EQ(ignored.status, 1);
}

// Past the file-size limit the tool ends by SIGXFSZ, as cat does (status
// 153 in the shell); where the caller ignores that signal the write fails
// with EFBIG, and that is said. A closed standard output is said too.
TEST(Output, TheFileSizeLimitAndAClosedStandardOutput) {
    const std::string image = scratch_file("limit.ppm", raw_640x480());
    const std::string path = scratch_file("limited.out", "");
    const RunResult killed =
        run_pixtally({"-vv", "-f", image}, {.output_path = path, .file_size_limit = 100});
    EXPECT_EQ(killed.signal, SIGXFSZ);
    EXPECT_EQ(killed.err, "");
    const RunResult ignored =
        run_pixtally({"-vv", "-f", image},
                     {.output_path = path, .file_size_limit = 100, .ignore_sigxfsz = true});
    EXPECT_EQ(ignored.err, "Failed to write output!\n" + errno_line(EFBIG));
    EXPECT_EQ(ignored.status, 1);
    for (const auto &args : {std::vector<std::string>{"-V"}, {"-vv", "-f", image}})
        expect_run(run_pixtally(args, {.close_output = true}), "",
                   "Failed to write output!\n" + errno_line(EBADF), 1);
}

} // namespace
