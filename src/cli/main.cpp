// pixtally: the size, maximum value and per-channel statistics of one
// Netpbm image, read from a file or from standard input.
#include "messages.h"
#include "options.h"
#include "report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// fopen opens a directory for reading as it opens a file, and the library
// then calls it an empty file; a directory is an input that cannot be opened.
FILE *open_input(const char *path) {
    FILE *stream = std::fopen(path, "rb");
    struct stat status {};
    if (stream != nullptr && fstat(fileno(stream), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(stream);
        errno = EISDIR;
        return nullptr;
    }
    return stream;
}

// Output that could not be written, whether a report or the help after a bad
// option, is reported: flush now, while there is still a word to say.
int finish_output(int status) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        die_with_errno("%s", write_failed);
    return status;
}

} // namespace

int main(int argc, char *argv[]) {
    // The library prefixes its own diagnostics with this name.
    name_library_messages("pixtally");

    const ParseResult parsed = parse_options(argc, argv);
    if (parsed.exit_status)
        return finish_output(*parsed.exit_status);
    const Options &options = parsed.options;
    // Operands are not read; a file name given as one would leave the tool
    // waiting on the terminal without a word.
    if (options.ignored_operand != nullptr)
        std::fprintf(stderr, "pixtally: ignoring operand '%s'; name an input file with -f\n",
                     options.ignored_operand);

    FILE *stream = stdin;
    if (options.input_path != nullptr) {
        stream = open_input(options.input_path);
        if (stream == nullptr)
            die_with_errno("%s", open_failed);
    }

    const ImageHeader header = report_header(stream, options.verbosity);
    if (options.verbosity >= 2) {
        // The header lines go out before any row is read, so that a
        // rejection of the rows follows them in a file or a pipe, as it
        // does on a terminal.
        std::fflush(stdout);
        report_channel_statistics(stream, header);
    }

    std::fclose(stream);
    return finish_output(EXIT_SUCCESS);
}
