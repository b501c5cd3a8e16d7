#include "channel_stats.h"
#include "report.h"

#include "messages.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

// Plain malloc, never zero-filled: the library writes every pixel before it
// is read, and a lying header with a huge width then costs only address
// space until the library finds the data missing.
pixel *obtain_row_buffer(int width) {
    const auto columns = static_cast<std::size_t>(std::max(width, 1));
    void *buffer = std::malloc(columns * sizeof(pixel));
    if (buffer == nullptr) {
        errno = ENOMEM;
        die_with_errno("Failed to allocate row buffer!\n");
    }
    return static_cast<pixel *>(buffer);
}

} // namespace

ChannelTally tally_rows(FILE *stream, const ImageHeader &header, pixel *row) {
    ChannelTally tally = start_tally(header.maxval, header.width, header.height);
    // Rows of no columns hold no bytes; reading billions of them would only
    // spin.
    if (tally.pixel_count == 0)
        return tally;
    for (int y = 0; y < header.height; ++y) {
        ppm_readppmrow(stream, row, header.width, header.maxval, header.format);
        tally_row(tally, row, header.width);
    }
    return tally;
}

void report_channel_statistics(FILE *stream, const ImageHeader &header) {
    pixel *row = obtain_row_buffer(header.width);
    const ChannelTally tally = tally_rows(stream, header, row);
    std::free(row);
    write_channel_table(tally);
}
