// The statistics pass: reading the rows through the library into the
// accumulators, and writing the table.
#pragma once

#include <cstdio>

#include "channel_accumulator.h"
#include "report.h"

// Reads the image's rows into row, which has room for its width, and tallies
// them. An image without pixels has no rows read, and row may then be null.
ChannelTally tally_rows(FILE *stream, const ImageHeader &header, pixel *row);

// Writes the four-line table; an image with no pixels gets "-" figures.
void write_channel_table(const ChannelTally &tally);
