// pixtally: the size, maximum value and per-channel statistics of one
// Netpbm image, read from a file or from standard input.
#include "messages.h"
#include "options.h"
#include "report.h"

#include <cstdio>
#include <cstdlib>

namespace {

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

    FILE *stream = stdin;
    if (options.input_path != nullptr) {
        stream = std::fopen(options.input_path, "rb");
        if (stream == nullptr)
            die_with_errno("%s", open_failed);
    }

    const ImageHeader header = report_header(stream, options.verbosity);
    if (options.verbosity >= 2)
        report_channel_statistics(stream, header);

    std::fclose(stream);
    return finish_output(EXIT_SUCCESS);
}
