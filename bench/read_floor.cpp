// The floor: reads every row of an image through the library and does
// nothing else. No tool built on the library's row reader can be faster.
#include <cstdio>
#include <cstdlib>

#include "libnetpbm.h"

int main(int argc, char *argv[]) {
    name_library_messages("read_floor");
    FILE *stream = argc > 1 ? std::fopen(argv[1], "rb") : stdin;
    if (stream == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    int width, height, format;
    pixval maxval;
    ppm_readppminit(stream, &width, &height, &maxval, &format);
    auto *row = static_cast<pixel *>(
        std::malloc(sizeof(pixel) * static_cast<std::size_t>(width > 0 ? width : 1)));
    if (row == nullptr) {
        std::perror("row buffer");
        return 1;
    }
    // Rows of no columns hold no bytes.
    for (int y = 0; width > 0 && y < height; ++y)
        ppm_readppmrow(stream, row, width, maxval, format);
    // The tests read the maxval the library gave; the last sample keeps the
    // reads from being optimised away.
    const unsigned last = height > 0 && width > 0 ? row[width - 1].r : 0;
    std::printf("%dx%d maxval %u last %u\n", width, height, static_cast<unsigned>(maxval), last);
    std::free(row);
    std::fclose(stream);
    return 0;
}
