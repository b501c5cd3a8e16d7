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
//   load, store, zero, splat, add, bit_and, bit_or, and_not(mask, v) =
//   v & ~mask, equal (all ones where equal), shift_left (every lane by the
//   same count), group_bits(a, b, c, d): the lanes' top bits, lane i of the
//   k-th vector at bit W*k + i;
//   order, min, max, unorder: min and max on values in order()'s form,
//   exact for samples below 2^16, with any wider sample showing in max;
//   square_narrow(v): v*v, for v below 2^15;
//   square_parts(v, low, high): v*v = high * 2^16 + low, for v below 2^16;
//   on vectors of 16-bit lanes (vec16): narrow16(a, b), the lanes of a and
//   b below 2^16; splat16, add16, mul16 (the low 16 bits of the product),
//   shift_left16, equal16, and group_bits16,
//   the top bits in the order of group_bits, of the vectors narrow16 made;
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

    // A run's first pass: min, max and sum.
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
    template <bool all_channels> struct TieScan {
        std::uint64_t channels = 0; // the samples of the channels scanned
        std::uint64_t parity = 0;   // bit c: channel c's m is odd
        // Three counts, not an array, which the compiler would spill to
        // vectorise.
        std::uint64_t odd_ties0 = 0, odd_ties1 = 0, odd_ties2 = 0;

        static constexpr std::uint64_t channel_bits(unsigned c) {
            std::uint64_t bits = 0;
            for (unsigned s = c; s < 48; s += 3)
                bits |= std::uint64_t{1} << s;
            return bits;
        }

        void step(std::uint64_t ties, std::uint64_t odd_d) {
            if constexpr (!all_channels) {
                ties &= channels;
                odd_d &= channels;
            }
            std::uint64_t x = odd_d ^ parity;
            // The samples that carry on their channel's segment: all but the
            // first of each channel and those right after a tie. (Below the
            // shift of a round nothing moves in, so what keep says there no
            // longer matters.)
            std::uint64_t keep = ~((ties << 3) | 7);
            for (const int shift : {3, 6, 12, 24}) {
                x ^= (x << shift) & keep;
                keep &= keep << shift;
            }
            const std::uint64_t met_odd = x & ties;
            odd_ties0 += static_cast<unsigned>(__builtin_popcountll(met_odd & channel_bits(0)));
            odd_ties1 += static_cast<unsigned>(__builtin_popcountll(met_odd & channel_bits(1)));
            odd_ties2 += static_cast<unsigned>(__builtin_popcountll(met_odd & channel_bits(2)));
            parity = ((x & ~ties) >> 45) & 7;
        }
    };

    // Below 2^53 (exact) the squares' low parts need no rounding at all.
    // Past it, where every j is even there are no ties; where j = 1 in
    // every channel every d is even, so only the first tie can meet an odd
    // m, and it is enough to know whether any sample was odd (first);
    // otherwise the ties are scanned.
    enum class Ties { exact, none, first, scan };

    // A run's second pass: the squares' parts. x + h = high * 2^16 +
    // (low + h), and j <= 16, so d = high * 2^(16 - j) + ((low + h) >> j):
    // the low parts summed without their last j bits are shifted at the end.
    template <Ties ties, bool uniform>
    static void parts(const pixel *pixels, std::size_t count, const RunPlan &plan,
                      RunTotals &totals) {
        struct Lanes {
            vec h, m, high = V::zero(), low = V::zero(), odd = V::zero();
        };
        std::uint32_t half_less_one[3], mask[3];
        for (unsigned c = 0; c < 3; ++c) {
            const std::uint32_t j = plan.unit_bits[c];
            mask[c] = (std::uint32_t{1} << j) - 1;
            half_less_one[c] = j == 0 ? 0 : mask[c] / 2;
        }
        Lanes l0{per_lane(0, half_less_one), per_lane(0, mask)},
            l1{per_lane(1, half_less_one), per_lane(1, mask)},
            l2{per_lane(2, half_less_one), per_lane(2, mask)};
        auto add = [&](Lanes &l, const Lanes &constants, vec v) {
            vec x_low, x_high;
            V::square_parts(v, x_low, x_high);
            l.high = V::add(l.high, x_high);
            if constexpr (ties == Ties::exact)
                l.low = V::add(l.low, x_low);
            else
                l.low = V::add(l.low, V::and_not(constants.m, V::add(x_low, constants.h)));
            if constexpr (ties == Ties::first)
                l.odd = V::bit_or(l.odd, x_low);
        };
        const std::uint32_t *s = samples(pixels);
        for (std::size_t block = 0; block < count / W; ++block, s += 3 * W) {
            add(l0, l0, V::load(s));
            add(l1, uniform ? l0 : l1, V::load(s + W));
            add(l2, uniform ? l0 : l2, V::load(s + 2 * W));
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
    }

    // A run's third pass, where the ties are scanned: which samples are
    // ties, and which have an odd d, four vectors' flags at a time. A tie has
    // the low j bits of x at 1000...0, and d is odd where bit j of x + h is
    // set. Where every channel is in the same binade (uniform), the flags
    // come from the squares' low 16 bits, two vectors in one; elsewhere each
    // lane compares with its own channel's unit.
    template <bool uniform>
    static void scan_ties(const pixel *pixels, std::size_t count, const RunPlan &plan,
                          RunTotals &totals) {
        TieScan<uniform> scan;
        for (unsigned c = 0; c < 3; ++c)
            if (plan.unit_bits[c] % 2 == 1)
                scan.channels |= TieScan<uniform>::channel_bits(c);
        scan.parity = plan.parity & 7;
        const int j = static_cast<int>(plan.unit_bits[0]);
        using vec16 = typename V::vec16;
        const vec16 tie16 = V::splat16(0x8000);
        const vec16 h16 = V::splat16(static_cast<std::uint16_t>(j == 0 ? 0 : (1 << (j - 1)) - 1));
        auto uniform_flags = [&](vec a, vec b, vec16 &is_tie, vec16 &odd_d) {
            const vec16 v16 = V::narrow16(a, b);
            const vec16 x16 = V::mul16(v16, v16);
            is_tie = V::equal16(V::shift_left16(x16, 16 - j), tie16);
            odd_d = V::shift_left16(V::add16(x16, h16), 15 - j);
        };
        std::uint32_t half_less_one[3], mask[3], tie[3], unit[3];
        for (unsigned c = 0; c < 3; ++c) {
            const std::uint32_t jc = plan.unit_bits[c];
            unit[c] = std::uint32_t{1} << jc;
            mask[c] = unit[c] - 1;
            half_less_one[c] = jc == 0 ? 0 : unit[c] / 2 - 1;
            tie[c] = jc % 2 == 1 ? unit[c] / 2 : ~std::uint32_t{0};
        }
        auto lane_flags = [&]<std::size_t k>(vec v, vec &is_tie, vec &odd_d) {
            vec x_low, x_high;
            V::square_parts(v, x_low, x_high);
            const vec w = V::add(x_low, per_lane(k % 3, half_less_one));
            is_tie = V::equal(V::bit_and(x_low, per_lane(k % 3, mask)), per_lane(k % 3, tie));
            odd_d = V::equal(V::bit_and(w, per_lane(k % 3, unit)), per_lane(k % 3, unit));
        };
        constexpr std::size_t groups = (step_vectors + 3) / 4;
        const std::uint32_t *s = samples(pixels);
        for (std::size_t step = 0; step < count / step_pixels; ++step, s += 3 * step_pixels) {
            std::uint64_t tie_bits = 0, odd_bits = 0;
            unrolled<groups>([&]<std::size_t g>() {
                constexpr std::size_t first = 4 * g;
                // The last group of a step may hold two vectors only.
                constexpr bool whole = first + 2 < step_vectors;
                const vec v0 = V::load(s + W * first), v1 = V::load(s + W * (first + 1));
                const vec v2 = whole ? V::load(s + W * (first + 2)) : v0;
                const vec v3 = whole ? V::load(s + W * (first + 3)) : v1;
                std::uint32_t tie_group, odd_group;
                if constexpr (uniform) {
                    vec16 t01, o01, t23, o23;
                    uniform_flags(v0, v1, t01, o01);
                    uniform_flags(v2, v3, t23, o23);
                    tie_group = V::group_bits16(t01, t23);
                    odd_group = V::group_bits16(o01, o23);
                } else {
                    vec t0, t1, t2, t3, o0, o1, o2, o3;
                    lane_flags.template operator()<first>(v0, t0, o0);
                    lane_flags.template operator()<first + 1>(v1, t1, o1);
                    lane_flags.template operator()<first + 2>(v2, t2, o2);
                    lane_flags.template operator()<first + 3>(v3, t3, o3);
                    tie_group = V::group_bits(t0, t1, t2, t3);
                    odd_group = V::group_bits(o0, o1, o2, o3);
                }
                if constexpr (!whole) {
                    tie_group &= (std::uint32_t{1} << (2 * W)) - 1;
                    odd_group &= (std::uint32_t{1} << (2 * W)) - 1;
                }
                tie_bits |= std::uint64_t{tie_group} << (W * first);
                odd_bits |= std::uint64_t{odd_group} << (W * first);
            });
            scan.step(tie_bits, odd_bits);
        }
        totals.odd_ties[0] += scan.odd_ties0;
        totals.odd_ties[1] += scan.odd_ties1;
        totals.odd_ties[2] += scan.odd_ties2;
    }

    template <Ties ties, bool uniform>
    static void run_in(const pixel *pixels, std::size_t count, const RunPlan &plan,
                       ChannelTotals &totals, RunTotals &run_totals) {
        extremes(pixels, count, totals);
        parts<ties, uniform>(pixels, count, plan, run_totals);
        if constexpr (ties == Ties::scan)
            scan_ties<uniform>(pixels, count, plan, run_totals);
    }

    // A run in up to three passes, each with few enough figures to stay in
    // the vector registers; the run is short enough to stay in the cache.
    static void run(const pixel *pixels, std::size_t count, const RunPlan &plan,
                    ChannelTotals &totals, RunTotals &run_totals) {
        const std::uint32_t(&j)[3] = plan.unit_bits;
        const bool uniform = j[0] == j[1] && j[1] == j[2];
        if (uniform && j[0] == 0)
            run_in<Ties::exact, true>(pixels, count, plan, totals, run_totals);
        else if (uniform && j[0] % 2 == 0)
            run_in<Ties::none, true>(pixels, count, plan, totals, run_totals);
        else if (uniform && j[0] == 1)
            run_in<Ties::first, true>(pixels, count, plan, totals, run_totals);
        else if (uniform)
            run_in<Ties::scan, true>(pixels, count, plan, totals, run_totals);
        else if (((j[0] | j[1] | j[2]) & 1) == 0)
            run_in<Ties::none, false>(pixels, count, plan, totals, run_totals);
        else
            run_in<Ties::scan, false>(pixels, count, plan, totals, run_totals);
    }

    static constexpr LevelKernels kernels = {narrow, run};
};

} // namespace pixtally::kernels
