// Option parsing and the fatal-error reporter, in process.
#include "messages.h"
#include "options.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Starts getopt afresh, its internal place in a cluster included.
void reset_getopt() {
#if defined(__GLIBC__)
    optind = 0;
#else
    optreset = 1; // the BSDs and macOS
    optind = 1;
#endif
}

ParseResult parse(std::vector<std::string> args) {
    args.insert(args.begin(), "pixtally");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    reset_getopt();
    opterr = 0;
    testing::internal::CaptureStdout();
    ParseResult result = parse_options(static_cast<int>(args.size()), argv.data());
    testing::internal::GetCapturedStdout();
    result.options.input_path = nullptr; // pointed into args
    return result;
}

TEST(Options, CountsEveryVerboseFlagClusteredOrNot) {
    EXPECT_EQ(parse({}).options.verbosity, 0);
    EXPECT_EQ(parse({"-vvv"}).options.verbosity, 3);
    EXPECT_EQ(parse({"-v", "-v", "-vv"}).options.verbosity, 4);
}

TEST(Options, TakesTheFileNameAttachedOrSeparateAndKeepsTheLast) {
    std::vector<std::string> args{"pixtally", "-fa.ppm", "-v", "-f", "b.ppm"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    reset_getopt();
    const ParseResult result = parse_options(static_cast<int>(argv.size()), argv.data());
    ASSERT_FALSE(result.exit_status);
    EXPECT_STREQ(result.options.input_path, "b.ppm");
    EXPECT_EQ(result.options.verbosity, 1);
}

TEST(Options, StopsAtTheFirstOperandAndNeverReorders) {
    EXPECT_EQ(parse({"x.ppm", "-v"}).options.verbosity, 0);
    EXPECT_EQ(parse({"--", "-v"}).options.verbosity, 0);
    EXPECT_EQ(parse({"-", "-v"}).options.verbosity, 0);
    EXPECT_EQ(parse({"-v", "x.ppm", "-V"}).exit_status, std::nullopt);
}

TEST(Options, VersionHelpAndBadOptionsEndTheRunWhereTheyStand) {
    EXPECT_EQ(parse({"-V", "-q"}).exit_status, 0);
    EXPECT_EQ(parse({"-v", "-h", "-q"}).exit_status, 0);
    EXPECT_EQ(parse({"-q", "-V"}).exit_status, 1);
    EXPECT_EQ(parse({"-v", "-f"}).exit_status, 1);
}

TEST(DieWithErrno, ReportsTheErrnoItWasCalledWithEvenIfFormattingChangesIt) {
    // An invalid wide character makes the formatting itself fail with EILSEQ.
    const wchar_t lone_surrogate[] = {static_cast<wchar_t>(0xD800), 0};
    EXPECT_EXIT(
        {
            errno = ENOENT;
            die_with_errno("bad %ls\n", lone_surrogate);
        },
        testing::ExitedWithCode(1), "errno=2 \\(" + std::string(std::strerror(ENOENT)) + "\\)");
}

TEST(DieWithErrno, CutsLongMessagesToItsBuffer) {
    const std::string long_text(10000, 'x');
    EXPECT_EXIT(
        {
            errno = EACCES;
            die_with_errno("%s", long_text.c_str());
        },
        // 4095 x: musl's regular expressions count to 255 at most.
        testing::ExitedWithCode(1),
        "^(x{255}){16}x{15}: errno=13 \\(" + std::string(std::strerror(EACCES)) + "\\)\n$");
}

} // namespace
