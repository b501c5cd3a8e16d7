// The statistics pass: the row buffer, the row loop and the table.
#include "channel_report.h"

#include "fatal.h"

#include <cerrno>
#include <cstdlib>

namespace {

// Plain malloc, never zero-filled: the library writes every pixel before it
// is read, and a lying header with a huge width then costs only address
// space until the library finds the data missing.
pixel *obtain_row_buffer(int width) {
    void *buffer = std::malloc(static_cast<std::size_t>(width) * sizeof(pixel));
    if (buffer == nullptr) {
        errno = ENOMEM;
        die_with_errno("%s", row_buffer_failed);
    }
    return static_cast<pixel *>(buffer);
}

void write_figures(const char *label, const ChannelFigures &figures) {
    std::printf("%s %5llu %5llu %5llu %5llu\n", label, figures.min, figures.avg, figures.max,
                figures.stddev);
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

void write_channel_table(const ChannelTally &tally) {
    std::printf("       %5s %5s %5s %5s\n", "min", "avg", "max", "stddev");
    const struct {
        const char *label;
        const ChannelAccumulator &channel;
    } rows[] = {{"  red:", tally.red}, {"green:", tally.green}, {" blue:", tally.blue}};
    for (const auto &row : rows) {
        if (tally.pixel_count == 0)
            std::printf("%s %5s %5s %5s %5s\n", row.label, "-", "-", "-", "-");
        else
            write_figures(row.label, channel_figures(row.channel, tally.pixel_count));
    }
}

void report_channel_statistics(FILE *stream, const ImageHeader &header) {
    // An image without pixels needs no buffer, however wide it claims to be.
    const bool has_pixels = header.width > 0 && header.height > 0;
    pixel *row = has_pixels ? obtain_row_buffer(header.width) : nullptr;
    const ChannelTally tally = tally_rows(stream, header, row);
    std::free(row);
    write_channel_table(tally);
}
