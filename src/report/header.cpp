// The header report: the image's size, maximum value and format code.
#include "report.h"

ImageHeader report_header(FILE *stream, int verbosity) {
    ImageHeader header{};
    ppm_readppminit(stream, &header.width, &header.height, &header.maxval, &header.format);

    std::printf("Resolution: %dx%d\n", header.width, header.height);
    std::printf("Maximum value: %d\n", static_cast<int>(header.maxval));
    if (verbosity >= 1)
        std::printf("Format: %d\n", header.format);
    return header;
}
