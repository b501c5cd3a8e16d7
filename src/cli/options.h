// Command-line options of one run.
#pragma once

#include <optional>

struct Options {
    const char *input_path = nullptr; // the last -f; standard input when null
    int verbosity = 0;                // one per -v
    // The first operand, which is never used, but for a lone "-" (standard
    // input, which is read anyway); null when there is none.
    const char *ignored_operand = nullptr;
};

// What parsing decided: go on with the run, or end it now with a status
// (after -V, -h or a bad option, whose texts have already been written).
struct ParseResult {
    Options options;
    std::optional<int> exit_status;
};

// Parses argv with getopt over "f:vVh". getopt's own diagnostics stay on.
ParseResult parse_options(int argc, char *argv[]);
