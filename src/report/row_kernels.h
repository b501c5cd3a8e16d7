// Row-summing kernels: one row's samples into min, max, sum and square sums
// for the three channels, exactly as adding them one by one would.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libnetpbm.h"

// One row's figures. min and max carry on from the rows before; sum is the
// row's own.
struct RowSums {
    pixval min[3];
    pixval max[3];
    std::uint64_t sum[3]; // < 2^28 columns * 2^16
};

// Sums the row's squares as exact integers into row_sum_sq. False where a
// sample was wider than the vector loop takes; the figures are then of no
// use and the caller sums the row in order instead.
bool sum_row_exactly(RowSums &sums, std::uint64_t (&row_sum_sq)[3], const pixel *row,
                     std::size_t width, pixval maxval);

// Adds the row's squares one by one, in file order and in double precision,
// to the running square sums, rounding at each addition as binary64 does.
void sum_row_in_order(RowSums &sums, double (&running_sum_sq)[3], const pixel *row,
                      std::size_t width, pixval maxval);
