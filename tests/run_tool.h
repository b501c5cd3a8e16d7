// Runs a program the way a shell would and collects what it left behind.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;      // exit status, or -1 when ended by a signal
    int signal = 0;       // the ending signal, if any
    long max_rss_kib = 0; // peak resident memory of the child
};

struct RunSetup {
    std::string input;                  // what standard input holds
    bool close_input = false;           // start with standard input closed
    std::string output_path;            // send standard output here instead
    bool output_to_gone_reader = false; // standard output a pipe nobody reads
    bool close_output = false;          // start with standard output closed
    bool err_to_out = false;            // standard error into standard output (2>&1)
    long file_size_limit = -1;          // ulimit -f, in bytes, where not -1
    bool ignore_sigpipe = false;        // as a caller may have it
    bool ignore_sigxfsz = false;
    bool as_nobody = false; // when root, run a copy of pixtally as nobody
    std::vector<std::pair<std::string, std::string>> env; // set for the run
};

RunResult run_program(const std::vector<std::string> &argv, const RunSetup &setup = {});

// The pixtally binary under test, with these arguments.
RunResult run_pixtally(const std::vector<std::string> &args, const RunSetup &setup = {});

// A shell pipeline, for streams too large to hold.
RunResult run_shell(const std::string &command);

// One of the project's programs (pixtally, make_image) as the start of a
// shell command, behind its emulator where the tests were cross-built.
std::string shell_program(const std::string &path);

// Whether the project's programs run under an emulator.
bool emulated();

// The names of the row kernels' levels this machine runs, lowest first, as
// PIXTALLY_LEVEL takes them.
std::vector<std::string> levels_here();

// Writes contents to a fresh file in the test's scratch folder; returns its path.
std::string scratch_file(const std::string &name, const std::string &contents);

// What libnetpbm itself makes of an image, read to its last row by the bare
// read loop of the benchmark: the library generations differ in what they
// accept and in their words, and the tool passes both on.
struct LibraryVerdict {
    bool accepted = false;
    unsigned maxval = 0; // as the library delivers it, where accepted
    std::string message; // where rejected: the library's words, as pixtally shows them
};
LibraryVerdict library_verdict(const std::string &image);

// The tail of the tool's fatal message for an error number, in the
// system's own words: ": errno=N (text)\n".
std::string errno_line(int error);

// An image from the make_image tool, as bytes.
std::string make_image(const std::vector<std::string> &args);
