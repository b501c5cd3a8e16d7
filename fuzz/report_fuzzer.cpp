// libFuzzer harness over the image-reading path: the header report and the
// channel statistics on an in-memory stream.
//
// The library ends the process when it rejects an image. Here its recovery
// hook turns that into a longjmp back to this function instead; nothing
// between the library call and this frame owns an object with a destructor,
// so the jump skips no cleanup.
#include "channel_report.h"
#include "libnetpbm.h"
#include "report.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Wider rows only cost allocation time here; the end-to-end tests cover
// them.
constexpr int max_fuzzed_width = 1 << 20;

void quiet(const char *) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    name_library_messages("pixtally");
    // The library's diagnostics for rejected images would flood the log.
    pm_setusererrormsgfn(quiet);
    pm_setusermessagefn(quiet);
    // The report lines are not checked here; keep them off the terminal.
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    FILE *stream = fmemopen(const_cast<std::uint8_t *>(data), size, "rb");
    if (stream == nullptr)
        return 0;

    static std::jmp_buf rejected;
    pixel *volatile row = nullptr;
    if (setjmp(rejected) == 0) {
        pm_setjmpbuf(&rejected);
        const ImageHeader header = report_header(stream, 2);
        if (header.width <= max_fuzzed_width) {
            row = static_cast<pixel *>(std::malloc(
                sizeof(pixel) * static_cast<std::size_t>(header.width > 0 ? header.width : 1)));
            const ChannelTally tally = tally_rows(stream, header, row);
            write_channel_table(tally);
        }
    }
    pm_setjmpbuf(nullptr);
    std::free(row);
    std::fclose(stream);
    std::fflush(stdout);
    return 0;
}
