// The vector loops of every level, written once on the level's vector
// operations V, and compiled in each level's own file for that level's
// instructions. Everything here is a member of a template on V, and every V
// lives in its level's anonymous namespace, so no copy built for one level
// can stand in for another's at link time.
//
// A row is read as a flat run of samples, W = V::lanes at a time, three
// vectors to a block of W pixels: lane i of vector p of a block holds sample
// W*p + i, of channel (W*p + i) % 3. Every figure is kept per lane in three
// vectors, one for each p, and folded into its channel at the end.
//
// V provides, on vectors of W unsigned 32-bit lanes:
//   load, store, zero, add, bit_and, bit_or, and_not(mask, v) = v & ~mask, equal
//   (all ones where equal), top_bits (bit i is lane i's top bit);
//   order, min, max, unorder: min and max on values in order()'s form,
//   exact for samples below 2^16, with any wider sample showing in max;
//   square_narrow(v): v*v, for v below 2^15;
//   square_parts(v, low, high): v*v = high * 2^16 + low, for v below 2^16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "level.h"

namespace pixtally::kernels {

template <class V> struct VectorLoops {
    using vec = typename V::vec;
    static constexpr std::size_t W = V::lanes;
    static constexpr std::size_t step_vectors = 3 * step_pixels / W;

    static constexpr unsigned channel(std::size_t p, std::size_t i) {
        return static_cast<unsigned>((W * p + i) % 3);
    }

    // Calls body.operator()<k>() for k = 0 .. n-1, unrolled, so that the
    // vector's place in its block is known when compiling.
    template <std::size_t n, class Body> static void unrolled(Body &&body) {
        [&]<std::size_t... k>(std::index_sequence<k...>) {
            (body.template operator()<k>(), ...);
        }(std::make_index_sequence<n>{});
    }

    // A per-channel value in the lanes of vector p of a block.
    static vec per_lane(std::size_t p, const std::uint32_t (&values)[3]) {
        std::uint32_t lanes[W];
        for (std::size_t i = 0; i < W; ++i)
            lanes[i] = values[channel(p, i)];
        return V::load(lanes);
    }

    // Takes each lane's total into its channel. The vectors come by value:
    // an array of them whose address is taken stays in memory throughout
    // the loop.
    template <class Take> static void fold(vec v0, vec v1, vec v2, Take &&take) {
        std::uint32_t values[3][W];
        V::store(values[0], v0);
        V::store(values[1], v1);
        V::store(values[2], v2);
        for (std::size_t p = 0; p < 3; ++p)
            for (std::size_t i = 0; i < W; ++i)
                take(channel(p, i), values[p][i]);
    }

    // min, max and sum of every lane, for one p of the block.
    struct Extremes {
        vec low, high, sum;

        Extremes(std::size_t p, const ChannelTotals &totals)
            : low(V::order(per_lane(p, totals.min))), high(V::order(per_lane(p, totals.max))),
              sum(V::zero()) {}
        void add(vec v) {
            const vec ordered = V::order(v);
            low = V::min(low, ordered);
            high = V::max(high, ordered);
            sum = V::add(sum, v);
        }
    };

    static void finish(const Extremes &e0, const Extremes &e1, const Extremes &e2,
                       ChannelTotals &totals) {
        fold(e0.low, e1.low, e2.low, [&](unsigned c, std::uint32_t v) {
            v = V::unorder(v);
            totals.min[c] = v < totals.min[c] ? v : totals.min[c];
        });
        fold(e0.high, e1.high, e2.high, [&](unsigned c, std::uint32_t v) {
            v = V::unorder(v);
            totals.max[c] = v > totals.max[c] ? v : totals.max[c];
        });
        fold(e0.sum, e1.sum, e2.sum, [&](unsigned c, std::uint32_t v) { totals.sum[c] += v; });
    }

    static const std::uint32_t *samples(const pixel *pixels) {
        return reinterpret_cast<const std::uint32_t *>(pixels);
    }

    static void narrow(const pixel *pixels, std::size_t count, ChannelTotals &totals) {
        Extremes e0(0, totals), e1(1, totals), e2(2, totals);
        vec q0 = V::zero(), q1 = V::zero(), q2 = V::zero();
        const std::uint32_t *s = samples(pixels);
        for (std::size_t block = 0; block < count / W; ++block, s += 3 * W) {
            const vec v0 = V::load(s), v1 = V::load(s + W), v2 = V::load(s + 2 * W);
            e0.add(v0);
            e1.add(v1);
            e2.add(v2);
            q0 = V::add(q0, V::square_narrow(v0));
            q1 = V::add(q1, V::square_narrow(v1));
            q2 = V::add(q2, V::square_narrow(v2));
        }
        finish(e0, e1, e2, totals);
        fold(q0, q1, q2, [&](unsigned c, std::uint32_t v) { totals.sum_sq[c] += v; });
    }

    static void extremes(const pixel *pixels, std::size_t count, ChannelTotals &totals) {
        Extremes e0(0, totals), e1(1, totals), e2(2, totals);
        const std::uint32_t *s = samples(pixels);
        for (std::size_t block = 0; block < count / W; ++block, s += 3 * W) {
            e0.add(V::load(s));
            e1.add(V::load(s + W));
            e2.add(V::load(s + 2 * W));
        }
        finish(e0, e1, e2, totals);
    }

    // The ties of one step that met an odd m, for the channels whose unit
    // has ties. Sample s of the step (bit s of its flag words) belongs to
    // channel s % 3. A tie meets an odd m when the samples of its channel
    // since the channel's last tie, or since the start with the incoming
    // parity of m, hold an odd number of odd d: a prefix XOR over each
    // channel's samples, restarted after every tie (where m is even), which
    // also leaves the parity at the channel's last sample. The d of a tie
    // itself is even, for squares.
    struct TieScan {
        std::uint64_t channels = 0; // the samples of the channels scanned
        std::uint64_t parity = 0;   // bit c: channel c's m is odd
        std::uint64_t odd_ties[3] = {};

        static constexpr std::uint64_t channel_bits(unsigned c) {
            std::uint64_t bits = 0;
            for (unsigned s = c; s < 48; s += 3)
                bits |= std::uint64_t{1} << s;
            return bits;
        }

        void step(std::uint64_t ties, std::uint64_t odd_d) {
            ties &= channels;
            std::uint64_t x = (odd_d & channels) ^ parity;
            std::uint64_t starts = (ties << 3) | 7;
            for (const int shift : {3, 6, 12, 24}) {
                x ^= (x << shift) & ~starts;
                starts |= starts << shift;
            }
            const std::uint64_t met_odd = x & ties;
            for (unsigned c = 0; c < 3; ++c)
                odd_ties[c] +=
                    static_cast<unsigned>(__builtin_popcountll(met_odd & channel_bits(c)));
            parity = ((x & ~ties) >> 45) & channels & 7;
        }
    };

    template <std::size_t p, class T> static T &pick(T &a, T &b, T &c) {
        if constexpr (p == 0)
            return a;
        else if constexpr (p == 1)
            return b;
        else
            return c;
    }

    // How a run's ties are found: there are none (every j even); only the
    // first can meet an odd m (j = 1 in every channel, where every d is
    // even), so it is enough to know whether any sample was odd; or the scan.
    enum class Ties { none, first, scan };

    // The constants and totals of the lanes of one p of the block.
    struct SquareLanes {
        vec h, m, t, u; // h, u - 1, the tie, and u = 2^j
        vec high = V::zero(), low = V::zero(), odd = V::zero();

        SquareLanes(std::size_t p, const std::uint32_t (&j)[3]) {
            std::uint32_t unit[3], half_less_one[3], mask[3], tie[3];
            for (unsigned c = 0; c < 3; ++c) {
                unit[c] = std::uint32_t{1} << j[c];
                mask[c] = unit[c] - 1;
                half_less_one[c] = j[c] == 0 ? 0 : unit[c] / 2 - 1;
                tie[c] = j[c] % 2 == 1 ? unit[c] / 2 : ~std::uint32_t{0};
            }
            h = per_lane(p, half_less_one);
            m = per_lane(p, mask);
            t = per_lane(p, tie);
            u = per_lane(p, unit);
        }
    };

    // With every channel in the same binade (uniform), the lanes of p = 0
    // lend their constants to all.
    template <Ties ties, bool uniform>
    static void squares_in(const pixel *pixels, std::size_t count, const RunPlan &plan,
                           RunTotals &totals) {
        SquareLanes l0(0, plan.unit_bits), l1(1, plan.unit_bits), l2(2, plan.unit_bits);
        TieScan scan;
        for (unsigned c = 0; c < 3; ++c)
            if (plan.unit_bits[c] % 2 == 1)
                scan.channels |= TieScan::channel_bits(c);
        scan.parity = plan.parity & scan.channels;
        const std::uint32_t *s = samples(pixels);
        for (std::size_t step = 0; step < count / step_pixels; ++step, s += 3 * step_pixels) {
            std::uint64_t tie_bits = 0, even_d = 0;
            unrolled<step_vectors>([&]<std::size_t k>() {
                SquareLanes &l = pick<k % 3>(l0, l1, l2);
                const SquareLanes &constants = uniform ? l0 : l;
                vec x_low, x_high;
                V::square_parts(V::load(s + W * k), x_low, x_high);
                l.high = V::add(l.high, x_high);
                // x + h = high * 2^16 + (low + h), and j <= 16, so
                // d = high * 2^(16 - j) + ((low + h) >> j): the low part
                // summed without its last j bits can be shifted at the end.
                const vec w = V::and_not(constants.m, V::add(x_low, constants.h));
                l.low = V::add(l.low, w);
                if constexpr (ties == Ties::first)
                    l.odd = V::bit_or(l.odd, x_low);
                if constexpr (ties == Ties::scan) {
                    const vec is_tie = V::equal(V::bit_and(x_low, constants.m), constants.t);
                    const vec d_even = V::equal(V::bit_and(w, constants.u), V::zero());
                    tie_bits |= std::uint64_t{V::top_bits(is_tie)} << (W * k);
                    even_d |= std::uint64_t{V::top_bits(d_even)} << (W * k);
                }
            });
            if constexpr (ties == Ties::scan)
                scan.step(tie_bits, ~even_d);
        }
        fold(l0.high, l1.high, l2.high,
             [&](unsigned c, std::uint32_t v) { totals.high_sum[c] += v; });
        fold(l0.low, l1.low, l2.low, [&](unsigned c, std::uint32_t v) { totals.low_sum[c] += v; });
        if constexpr (ties == Ties::first) {
            unsigned odd = 0;
            fold(l0.odd, l1.odd, l2.odd, [&](unsigned c, std::uint32_t v) { odd |= (v & 1) << c; });
            for (unsigned c = 0; c < 3; ++c)
                totals.odd_ties[c] += (plan.parity & odd) >> c & 1;
        }
        for (unsigned c = 0; c < 3; ++c)
            totals.odd_ties[c] += scan.odd_ties[c];
    }

    static void squares(const pixel *pixels, std::size_t count, const RunPlan &plan,
                        RunTotals &totals) {
        const std::uint32_t(&j)[3] = plan.unit_bits;
        const bool uniform = j[0] == j[1] && j[1] == j[2];
        if (uniform && j[0] % 2 == 0)
            squares_in<Ties::none, true>(pixels, count, plan, totals);
        else if (uniform && j[0] == 1)
            squares_in<Ties::first, true>(pixels, count, plan, totals);
        else if (uniform)
            squares_in<Ties::scan, true>(pixels, count, plan, totals);
        else if (((j[0] | j[1] | j[2]) & 1) == 0)
            squares_in<Ties::none, false>(pixels, count, plan, totals);
        else
            squares_in<Ties::scan, false>(pixels, count, plan, totals);
    }

    static constexpr LevelKernels kernels = {narrow, extremes, squares};
};

} // namespace pixtally::kernels
