// The image report: the header lines and, at the highest verbosity, the
// per-channel statistics table.
#pragma once

#include <cstdio>

#include "libnetpbm.h"

// The header as the image library reads it, nothing derived or corrected.
struct ImageHeader {
    int width;
    int height;
    pixval maxval;
    int format; // the library's code for the file's kind, e.g. 20534 for P6
};

// Reads the header with the library, writes "Resolution", "Maximum value"
// and, at verbosity 1 or more, "Format". Leaves the stream at the first row.
ImageHeader report_header(FILE *stream, int verbosity);

// Reads every row once and writes the min/avg/max/stddev table for red,
// green and blue.
void report_channel_statistics(FILE *stream, const ImageHeader &header);
