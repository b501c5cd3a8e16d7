// The row driver: which loop adds which pixels of a row, and why each way
// gives the figures that adding the samples one by one in order would.
//
// - While no channel's square sum can pass 2^53 within the row, 8-bit rows
//   go through the narrow loop: squares summed as integers in 32-bit lanes.
//   Below 2^53 binary64 addition of integers never rounds, so the integer
//   total is what adding square by square gives.
// - 16-bit rows, and 8-bit ones from 2^53 on, go in runs of up to 8192
//   pixels: min, max and sum first, then the squares' rounding, which
//   reproduces every rounding binary64 makes with integer arithmetic while a
//   run keeps each channel's sum inside its binade. A binade [2^k, 2^(k+1))
//   past 2^53 holds the multiples of its unit u = 2^j, j = k - 52: S = m*u
//   with m < 2^53. Adding a square x gives m' = m + d + t, where
//   d = (x + u/2 - 1) >> j is x/u rounded half down, and t is 1 only on a
//   tie (x mod u = u/2) that would leave m + d odd: ties go to even. Only
//   the parity of m carries from one square to the next, so a run's d can be
//   summed in any order and its ties counted by a scan of parities (see
//   vector_loops.h). A square's 2-adic valuation is even, so where j is even
//   no square is a tie; where j is odd, a tie's own d is even. Below 2^53, j
//   is 0 and m is the exact sum. Each addition moves m up, so a run whose
//   final m stays below 2^53 never left its binade, and every step of the
//   reckoning held; a run that does reach 2^53 is added again in order, one
//   square after another, for the channel concerned. So are sums of 2^63
//   and more (units above 2^10), and the last pixels of a row.
// - Samples above 65535, which only the 10.0 series of the library lets
//   through, and only in plain files, send the row to the plain loop: the
//   rule itself, sample by sample.
#include "level.h"

#include <cmath>

namespace pixtally::kernels {

namespace {

static_assert(sizeof(pixel) == 3 * sizeof(std::uint32_t), "a pixel is three 32-bit samples");

constexpr double exact_limit = 0x1p53;
constexpr std::uint64_t m_limit = std::uint64_t{1} << 53;
constexpr int max_unit_bits = 10;
constexpr std::size_t max_pixels_per_call = std::size_t{1} << 16;

constexpr pixval pixel::*channel_member[3] = {&pixel::r, &pixel::g, &pixel::b};

pixval largest(const pixval (&samples)[3]) {
    pixval widest = samples[0];
    for (const pixval v : samples)
        widest = v > widest ? v : widest;
    return widest;
}

// The rule, sample by sample, in file order.
void add_in_order(RowSums &sums, const pixel *pixels, std::size_t count) {
    for (std::size_t x = 0; x < count; ++x)
        for (int c = 0; c < 3; ++c) {
            const pixval v = pixels[x].*channel_member[c];
            sums.min[c] = v < sums.min[c] ? v : sums.min[c];
            sums.max[c] = v > sums.max[c] ? v : sums.max[c];
            sums.sum[c] += v;
            sums.sum_sq[c] += static_cast<double>(v) * static_cast<double>(v);
        }
}

// One channel's squares added in order, one binary64 addition each.
void chain(double &sum_sq, const pixel *pixels, std::size_t count, int c) {
    for (std::size_t x = 0; x < count; ++x) {
        const double v = pixels[x].*channel_member[c];
        sum_sq += v * v;
    }
}

ChannelTotals start_totals(const RowSums &sums) {
    ChannelTotals totals{};
    for (int c = 0; c < 3; ++c) {
        totals.min[c] = sums.min[c];
        totals.max[c] = sums.max[c];
    }
    return totals;
}

void take_extremes(RowSums &sums, const ChannelTotals &totals) {
    for (int c = 0; c < 3; ++c) {
        sums.min[c] = totals.min[c];
        sums.max[c] = totals.max[c];
        sums.sum[c] += totals.sum[c];
    }
}

bool narrow_stays_exact(const RowSums &sums, std::size_t width) {
    const double most = static_cast<double>(width) * (255.0 * 255.0);
    for (const double s : sums.sum_sq)
        if (s > exact_limit - most)
            return false;
    return true;
}

// False where a sample was above 255.
bool add_narrow(const LevelKernels &kernels, RowSums &sums, const pixel *row, std::size_t count) {
    ChannelTotals totals = start_totals(sums);
    for (std::size_t x = 0; x < count; x += max_pixels_per_call) {
        const std::size_t n = count - x < max_pixels_per_call ? count - x : max_pixels_per_call;
        kernels.narrow(row + x, n, totals);
    }
    if (largest(totals.max) > 255)
        return false;
    take_extremes(sums, totals);
    for (int c = 0; c < 3; ++c)
        sums.sum_sq[c] += static_cast<double>(totals.sum_sq[c]);
    return true;
}

// One run into the sums. False where a sample was above 65535.
bool add_run(const LevelKernels &kernels, RowSums &sums, const pixel *run, std::size_t count) {
    RunPlan plan{};
    std::uint64_t m[3];
    bool in_order[3];
    for (int c = 0; c < 3; ++c) {
        const int j = sums.sum_sq[c] < exact_limit ? 0 : std::ilogb(sums.sum_sq[c]) - 52;
        in_order[c] = j > max_unit_bits;
        if (in_order[c])
            continue;
        plan.unit_bits[c] = static_cast<std::uint32_t>(j);
        m[c] = static_cast<std::uint64_t>(std::ldexp(sums.sum_sq[c], -j));
        plan.parity |= static_cast<unsigned>(m[c] & 1) << c;
    }
    ChannelTotals totals = start_totals(sums);
    RunTotals added{};
    kernels.run(run, count, plan, totals, added);
    if (largest(totals.max) > 65535)
        return false;
    take_extremes(sums, totals);
    for (int c = 0; c < 3; ++c) {
        if (!in_order[c]) {
            const std::uint32_t j = plan.unit_bits[c];
            const std::uint64_t end = m[c] + added.d_sum[c] + added.odd_ties[c];
            if (end < m_limit) {
                sums.sum_sq[c] = std::ldexp(static_cast<double>(end), static_cast<int>(j));
                continue;
            }
        }
        chain(sums.sum_sq[c], run, count, c);
    }
    return true;
}

bool add_wide(const LevelKernels &kernels, RowSums &sums, const pixel *row, std::size_t count) {
    for (std::size_t x = 0; x < count; x += run_pixels)
        if (!add_run(kernels, sums, row + x, count - x < run_pixels ? count - x : run_pixels))
            return false;
    return true;
}

} // namespace

void add_row(RowSums &sums, const pixel *row, std::size_t width, pixval maxval) {
    const LevelKernels &kernels = kernels_in_use();
    const RowSums start = sums;
    const std::size_t whole = width - width % step_pixels;
    const bool added = maxval <= 255 && narrow_stays_exact(sums, width)
                           ? add_narrow(kernels, sums, row, whole)
                           : maxval <= 65535 && add_wide(kernels, sums, row, whole);
    if (added) {
        add_in_order(sums, row + whole, width - whole);
        return;
    }
    sums = start;
    add_in_order(sums, row, width);
}

} // namespace pixtally::kernels
