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
//   load, store, zero, splat, add, bit_and, and_not(mask, v) = v & ~mask,
//   equal (all ones where equal), shift_right (every lane by the same
//   count), group_bits(a, b, c, d): the lanes' top bits, lane i of the k-th
//   vector at bit W*k + i;
//   order, min, max, unorder: min and max on values in order()'s form,
//   exact for samples below 2^16, with any wider sample showing in max;
//   square_narrow(v): v*v, for v below 2^15;
//   square_parts(v, low, high): v*v = high * 2^16 + low, for v below 2^16;
//   on vectors of 16-bit lanes (vec16): narrow16(a, b), the lanes of a and
//   b in one vector, exact in their low 15 bits (the loops read no more, and
//   the low 16 bits of a square need no more) where they are below 2^16, or
//   on a level with its own DSums, whatever its add gives; splat16, add16,
//   mul16 (the low 16 bits of the product), shift_left16, equal16,
//   test_bit16(v, n) (the lanes' top bits tell whether bit n is set), and
//   group_bits16, the top bits in the order of group_bits, of the vectors
//   narrow16 made;
//   one_pass: whether min, max and sum and the sums of d fit the vector
//   registers at once, and one_pass_whole, whether they do where the
//   squares are whole (see WholeSums); narrow_unroll: how many blocks a turn
//   of the narrow loop takes; scan_chunks: how many chunks of a run the scan
//   of the ties takes side by side (see ChunkScan), or 1 for one step at a
//   time;
//   optionally step_bits16, a step's flags in 16-bit lanes as two words at
//   once, and unit8_bits(s, ties, odd_d), a step's flags at unit 8 from its
//   samples at s: a square is a tie there where its sample is 2 mod 4, and
//   its d is odd where the sample is 3 or 5 mod 8 (x mod 16 follows v mod 8,
//   and x + 3 carries nothing into bit 3);
//   optionally DSums, its own way of keeping the sums of d (see SplitSums),
//   and MetCounts, its own way of counting the scan's ties by channel.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "level.h"

namespace pixtally::kernels {

// What the loops sum for each square: x itself below 2^53 and at unit 2
// (exact); else x / u rounded to nearest, half up (nearest), which is d,
// or d + 1 at a tie: the scan takes that one back at every tie that met an
// even m (see TieScan).
enum class Rounding { exact, nearest };

// The lanes' sums of (x + h) >> j, h = u/2, kept as the squares' high and
// low 16 bits apart, in 32-bit lanes: x + h = high * 2^16 + (low + h), and
// j <= 16, so (x + h) >> j = high * 2^(16 - j) + ((low + h) >> j). Where
// every lane has the same j (uniform) the low parts are shifted as they
// come; else they are summed without their last j bits, and shifted at the
// end.
template <class V> struct SplitSums {
    using vec = typename V::vec;
    struct Constants {
        vec h, m;
        int j; // the first lane's
    };
    vec high = V::zero(), low = V::zero();

    static Constants constants(const std::uint32_t (&unit_bits)[V::lanes]) {
        std::uint32_t h[V::lanes], m[V::lanes];
        for (std::size_t i = 0; i < V::lanes; ++i) {
            m[i] = (std::uint32_t{1} << unit_bits[i]) - 1;
            h[i] = (m[i] + 1) / 2;
        }
        return {V::load(h), V::load(m), static_cast<int>(unit_bits[0])};
    }
    // Also gives the square's low 16 bits, which the ties' flags are read
    // from.
    template <Rounding rounding, bool, bool uniform> vec add(vec v, const Constants &k) {
        vec x_low, x_high;
        V::square_parts(v, x_low, x_high);
        high = V::add(high, x_high);
        if constexpr (rounding == Rounding::exact)
            low = V::add(low, x_low);
        else if constexpr (uniform)
            low = V::add(low, V::shift_right(V::add(x_low, k.h), k.j));
        else
            low = V::add(low, V::and_not(k.m, V::add(x_low, k.h)));
        return x_low;
    }
    void totals(const std::uint32_t (&unit_bits)[V::lanes], bool uniform,
                std::uint64_t (&d)[V::lanes]) const {
        std::uint32_t highs[V::lanes], lows[V::lanes];
        V::store(highs, high);
        V::store(lows, low);
        for (std::size_t i = 0; i < V::lanes; ++i)
            d[i] = (std::uint64_t{highs[i]} << (16 - unit_bits[i])) +
                   (uniform ? lows[i] : lows[i] >> unit_bits[i]);
    }
};

// Two or four 64-bit words side by side, in whatever vector registers the
// level has.
using Words2 = std::uint64_t __attribute__((vector_size(16)));
using Words4 = std::uint64_t __attribute__((vector_size(32)));

// Where every lane has the same unit, past 2^53 (j >= 2), on a level that
// multiplies 32-bit lanes whole (V::whole_squares: mul32, and add_wide(w,
// v), which adds v's lanes to the W 64-bit sums at w): each square's
// (x + h) >> j is summed in a 32-bit lane for as many steps as it has room
// for, then added to the lane's sum in memory, out of the registers' way.
// A step adds 16 / W of them to a lane, each below 2^(32 - j), so
// W * 2^j / 16 steps fit: at least one, for W >= 4 and j >= 2.
template <class V> struct WholeSums {
    using vec = typename V::vec;
    static constexpr std::size_t lanes = V::lanes;
    struct Constants {
        vec h;
        int j;
        unsigned steps; // between widenings
    };
    vec turn = V::zero();
    alignas(32) std::uint64_t wide[lanes] = {};

    static Constants constants(const std::uint32_t (&unit_bits)[lanes]) {
        const unsigned j = unit_bits[0];
        return {V::splat((std::uint32_t{1} << j) / 2), static_cast<int>(j),
                static_cast<unsigned>(lanes << j) / 16};
    }
    // Gives the square, for the flags to be read from its low 16 bits.
    template <Rounding, bool, bool> vec add(vec v, const Constants &k) {
        const vec x = V::mul32(v, v);
        turn = V::add(turn, V::shift_right(V::add(x, k.h), k.j));
        return x;
    }
    // After k.steps steps.
    void widen() {
        V::add_wide(wide, turn);
        turn = V::zero();
    }
    void totals(const std::uint32_t (&)[lanes], bool, std::uint64_t (&d)[lanes]) const {
        std::uint32_t rest[lanes];
        V::store(rest, turn);
        for (std::size_t i = 0; i < lanes; ++i)
            d[i] = wide[i] + rest[i];
    }
};

// A level may keep its sums of d its own way (V::DSums), or split.
template <class V> struct DSumsOf {
    using type = SplitSums<V>;
};
template <class V>
    requires requires { typename V::DSums; }
struct DSumsOf<V> {
    using type = typename V::DSums;
};

// A level may count the scan's ties its own way (V::MetCounts), or as
// scalars.
template <class V, class Scalar> struct MetCountsOf {
    using type = Scalar;
};
template <class V, class Scalar>
    requires requires { typename V::MetCounts; }
struct MetCountsOf<V, Scalar> {
    using type = typename V::MetCounts;
};

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

    // Calls body(block) for every block of count pixels (a whole number of
    // steps), unroll blocks to a turn of the loop. Whether more blocks to a
    // turn pay (fewer loop instructions, more work side by side) or cost
    // (values that no longer fit the registers) depends on the loop and the
    // level.
    template <std::size_t unroll, class Body, class AfterTurn>
    static void for_each_block(const pixel *pixels, std::size_t count, Body &&body,
                               AfterTurn &&after_turn) {
        static_assert((step_pixels / W) % unroll == 0, "a step holds whole turns");
        const std::uint32_t *s = samples(pixels);
        for (std::size_t block = 0; block < count / W; block += unroll, s += 3 * W * unroll) {
            unrolled<unroll>([&]<std::size_t b>() { body(s + 3 * W * b); });
            after_turn();
        }
    }
    template <std::size_t unroll, class Body>
    static void for_each_block(const pixel *pixels, std::size_t count, Body &&body) {
        for_each_block<unroll>(pixels, count, body, [] {});
    }

    static void narrow(const pixel *pixels, std::size_t count, ChannelTotals &totals) {
        Extremes e0(0, totals), e1(1, totals), e2(2, totals);
        vec q0 = V::zero(), q1 = V::zero(), q2 = V::zero();
        for_each_block<V::narrow_unroll>(pixels, count, [&](const std::uint32_t *s) {
            const vec v0 = V::load(s), v1 = V::load(s + W), v2 = V::load(s + 2 * W);
            e0.add(v0);
            e1.add(v1);
            e2.add(v2);
            q0 = V::add(q0, V::square_narrow(v0));
            q1 = V::add(q1, V::square_narrow(v1));
            q2 = V::add(q2, V::square_narrow(v2));
        });
        finish(e0, e1, e2, totals);
        fold(q0, q1, q2, [&](unsigned c, std::uint32_t v) { totals.sum_sq[c] += v; });
    }

    // The ties of one step that met an even m, for the channels whose unit
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
        // The counts, the level's own way where it has one; else three
        // scalars, not an array, which the compiler would spill to
        // vectorise.
        struct ScalarCounts {
            std::uint64_t c0 = 0, c1 = 0, c2 = 0;
            // Where the processor counts bits itself, it does, and c2 counts
            // every channel's bits, one mask fewer a step; else the
            // channel's bits (three apart) go in pairs into six-bit fields
            // and one multiplication adds the fields up in the top one.
#ifdef __POPCNT__
            static constexpr bool hardware = true;
#else
            static constexpr bool hardware = false;
#endif
            static std::uint64_t count(std::uint64_t met, unsigned c) {
                if constexpr (hardware) {
                    return static_cast<unsigned>(std::popcount(met & channel_bits(c)));
                } else {
                    const std::uint64_t bits = (met >> c) & channel_bits(0);
                    const std::uint64_t pairs = (bits + (bits >> 3)) & 0x0c30c30c30c3;
                    return (pairs * 0x041041041041) >> 42 & 0x3f;
                }
            }
            void add(std::uint64_t met) {
                c0 += count(met, 0);
                c1 += count(met, 1);
                c2 += hardware ? static_cast<unsigned>(std::popcount(met)) : count(met, 2);
            }
            std::uint64_t total(unsigned c) const {
                return c == 0 ? c0 : c == 1 ? c1 : hardware ? c2 - c0 - c1 : c2;
            }
        };
        typename MetCountsOf<V, ScalarCounts>::type even_met;

        static constexpr std::uint64_t channel_bits(unsigned c) {
            std::uint64_t bits = 0;
            for (unsigned s = c; s < 48; s += 3)
                bits |= std::uint64_t{1} << s;
            return bits;
        }

        // A run's steps, in one chunk.
        static constexpr std::size_t chunks = 1;
        std::size_t rows = 0;
        void begin(std::size_t steps) { rows = steps; }

        void step(std::size_t, std::uint64_t ties, std::uint64_t odd_d) {
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
            even_met.add(ties & ~x);
            parity = ((x & ~ties) >> 45) & 7;
        }
        void end() {}
        std::uint64_t total(unsigned c) const { return even_met.total(c); }
    };

    // The same scan for a whole run at once, where the level has the vector
    // registers for it (V::scan_chunks): the run's steps go in chunks, one to
    // each 64-bit lane, and each lane scans its chunk, step after
    // step, as if m were even where the chunk starts. An odd m there would
    // flip the parity of each channel's first segment of the chunk: its first
    // tie would count the other way, or where the channel has no tie in the
    // chunk, the parity the chunk leaves. That is put right at the end, chunk
    // after chunk.
    template <bool all_channels> struct ChunkScan {
        static constexpr std::size_t chunks = V::scan_chunks;
        static constexpr std::size_t most = run_pixels / step_pixels;
        using Words = std::conditional_t<chunks == 4, Words4, Words2>;
        using Scalar = TieScan<all_channels>;
        std::uint64_t channels = 0;
        std::uint64_t parity = 0;
        // The steps' flag words, row after row: row r holds step r of each
        // chunk, in slot r * chunks + chunk.
        std::size_t rows = 0;
        alignas(32) std::uint64_t ties[most + chunks], odd_d[most + chunks];
        std::int64_t even_met[3] = {};

        void begin(std::size_t steps) {
            rows = (steps + chunks - 1) / chunks;
            for (std::size_t step = steps; step < rows * chunks; ++step) {
                const std::size_t at = step % rows * chunks + step / rows;
                ties[at] = odd_d[at] = 0;
            }
        }
        void step(std::size_t slot, std::uint64_t tie_bits, std::uint64_t odd_bits) {
            if constexpr (!all_channels) {
                tie_bits &= channels;
                odd_bits &= channels;
            }
            ties[slot] = tie_bits;
            odd_d[slot] = odd_bits;
        }
        // Besides the scan of TieScan::step: seen, the channels with a tie in
        // the chunk's rows so far, and whether each channel's first tie in the
        // chunk met an odd m; once every chunk has seen a tie in every channel
        // scanned, the rows left need neither. The ties that met an even m are
        // counted bit by bit, in planes of binary digits, enough for a chunk's
        // rows.
        static constexpr std::size_t digits = std::bit_width(most / chunks);
        void end() {
            Words p{}, seen{}, first_odd{}, planes[digits] = {};
            const std::uint64_t every = channels & 7;
            auto scan_row = [&]<bool first>(std::size_t r) {
                Words t, o;
                __builtin_memcpy(&t, ties + r * chunks, sizeof t);
                __builtin_memcpy(&o, odd_d + r * chunks, sizeof o);
                const Words after = t << 3;
                Words x = o ^ p, keep = ~(after | 7), before = after | seen;
                for (const int shift : {3, 6, 12, 24}) {
                    x ^= (x << shift) & keep;
                    keep &= keep << shift;
                    if constexpr (first)
                        before |= before << shift;
                }
                Words carry = t & ~x;
                for (Words &plane : planes) {
                    const Words next = plane & carry;
                    plane ^= carry;
                    carry = next;
                }
                p = ((x & ~t) >> 45) & 7;
                if constexpr (first) {
                    first_odd |= t & ~before & x;
                    seen = ((before | t) >> 45) & 7;
                }
            };
            auto all_seen = [&] {
                for (std::size_t k = 0; k < chunks; ++k)
                    if (seen[k] != every)
                        return false;
                return true;
            };
            std::size_t r = 0;
            for (; r < rows && !all_seen(); ++r)
                scan_row.template operator()<true>(r);
            for (; r < rows; ++r)
                scan_row.template operator()<false>(r);
            std::uint64_t in = parity;
            for (std::size_t k = 0; k < chunks; ++k) {
                for (unsigned c = 0; c < 3; ++c) {
                    for (std::size_t b = 0; b < digits; ++b)
                        even_met[c] += static_cast<std::int64_t>(
                            Scalar::ScalarCounts::count(planes[b][k], c) << b);
                    if ((in >> c & seen[k] >> c & 1) != 0)
                        even_met[c] += (first_odd[k] & Scalar::channel_bits(c)) != 0 ? 1 : -1;
                }
                in = p[k] ^ (in & ~seen[k]);
            }
        }
        std::uint64_t total(unsigned c) const { return static_cast<std::uint64_t>(even_met[c]); }
    };
    template <bool all_channels>
    using Scan = std::conditional_t<(V::scan_chunks > 1), ChunkScan<all_channels>,
                                    TieScan<all_channels>>;

    using Sums = typename DSumsOf<V>::type;
    // Whole squares where every lane rounds at the same unit, on the levels
    // that have them.
    static constexpr bool whole_squares = [] {
        if constexpr (requires { V::whole_squares; })
            return V::whole_squares;
        else
            return false;
    }();
    template <Rounding rounding, bool uniform>
    using SumsFor = std::conditional_t<rounding == Rounding::nearest && uniform && whole_squares,
                                       WholeSums<V>, Sums>;
    using vec16 = typename V::vec16;

    template <std::size_t p, class T> static T &pick(T &a, T &b, T &c) {
        if constexpr (p == 0)
            return a;
        else if constexpr (p == 1)
            return b;
        else
            return c;
    }

    // Below 2^53 (exact) the squares move m by themselves. Past it, where
    // every j is even there are no ties; where j = 1 in every channel (first)
    // the ties are the odd squares and every d is even, so only the first
    // tie can meet an odd m, and counting the odd samples is enough;
    // otherwise the ties are scanned: at unit 8 in every channel (scan8),
    // the commonest, with that unit built in, else at any unit (scan).
    enum class Ties { exact, none, first, scan8, scan };

    // The bits of a group of four vectors that hold samples: all, or those
    // of the first two.
    template <bool whole> static constexpr std::uint32_t group_mask() {
        return whole ? ~std::uint32_t{0} : (std::uint32_t{1} << (2 * W)) - 1;
    }

    // The top bits of a step's flags in 16-bit lanes, two vectors' worth
    // each, in sample order: the level's own way where it has one.
    template <std::size_t n>
    static void step_bits16(const vec16 (&is_tie)[n], const vec16 (&odd_d)[n],
                            std::uint64_t &tie_bits, std::uint64_t &odd_bits) {
        if constexpr (requires { V::step_bits16(is_tie, odd_d, tie_bits, odd_bits); }) {
            V::step_bits16(is_tie, odd_d, tie_bits, odd_bits);
        } else {
            unrolled<(n + 1) / 2>([&]<std::size_t g>() {
                constexpr bool whole = 2 * g + 1 < n;
                constexpr std::size_t second = whole ? 2 * g + 1 : 2 * g;
                tie_bits |= std::uint64_t{V::group_bits16(is_tie[2 * g], is_tie[second]) &
                                          group_mask<whole>()}
                            << (4 * W * g);
                odd_bits |= std::uint64_t{V::group_bits16(odd_d[2 * g], odd_d[second]) &
                                          group_mask<whole>()}
                            << (4 * W * g);
            });
        }
    }

    // The state of one run: each figure per lane, for the three p of a
    // block, and the constants of its rounding.
    template <Ties ties, bool uniform> struct Run {
        // At unit 2 (first) d = x >> 1 = (x - (x & 1)) / 2: the squares are
        // summed whole, and their odd ones counted.
        static constexpr Rounding rounding =
            ties == Ties::exact || ties == Ties::first ? Rounding::exact : Rounding::nearest;
        // Every d below 2^30 (j >= 2 in every lane): a step's four may share
        // a 32-bit lane before they are widened.
        static constexpr bool scanned = ties == Ties::scan8 || ties == Ties::scan;
        static constexpr bool small_d = uniform && (ties == Ties::none || scanned);
        const RunPlan &plan;
        std::uint32_t unit_bits[3][W];
        Extremes e0, e1, e2;
        using RunSums = SumsFor<rounding, uniform>;
        typename RunSums::Constants k0, k1, k2;
        RunSums q0, q1, q2;
        vec odd0 = V::zero(), odd1 = V::zero(), odd2 = V::zero();
        Scan<uniform> scan;
        // The flags where the channels share their unit: from the squares'
        // low 16 bits, a tie has the low j bits at 1000...0, and d is odd
        // where bit j of x + h is set.
        int j = 0;
        vec16 tie16, h16;
        // Where they do not, each lane compares with its own unit.
        vec h[3], m[3], t[3], u[3];

        Run(const RunPlan &run_plan, const ChannelTotals &totals)
            : plan(run_plan), e0(0, totals), e1(1, totals), e2(2, totals) {
            for (std::size_t p = 0; p < 3; ++p)
                for (std::size_t i = 0; i < W; ++i)
                    unit_bits[p][i] = plan.unit_bits[channel(p, i)];
            k0 = RunSums::constants(unit_bits[0]);
            k1 = RunSums::constants(unit_bits[1]);
            k2 = RunSums::constants(unit_bits[2]);
            if constexpr (!scanned)
                return;
            for (unsigned c = 0; c < 3; ++c)
                if (plan.unit_bits[c] % 2 == 1)
                    scan.channels |= TieScan<uniform>::channel_bits(c);
            scan.parity = plan.parity & 7;
            j = static_cast<int>(plan.unit_bits[0]);
            tie16 = V::splat16(0x8000);
            h16 = V::splat16(static_cast<std::uint16_t>(j == 0 ? 0 : (1 << (j - 1)) - 1));
            std::uint32_t half_less_one[3], mask[3], tie[3], unit[3];
            for (unsigned c = 0; c < 3; ++c) {
                const std::uint32_t jc = plan.unit_bits[c];
                unit[c] = std::uint32_t{1} << jc;
                mask[c] = unit[c] - 1;
                half_less_one[c] = mask[c] / 2;
                tie[c] = jc % 2 == 1 ? unit[c] / 2 : ~std::uint32_t{0};
            }
            for (std::size_t p = 0; p < 3; ++p) {
                h[p] = per_lane(p, half_less_one);
                m[p] = per_lane(p, mask);
                t[p] = per_lane(p, tie);
                u[p] = per_lane(p, unit);
            }
        }

        template <std::size_t p> void add_extremes(vec v) { pick<p>(e0, e1, e2).add(v); }

        template <std::size_t p> auto add_squares(vec v) {
            if constexpr (ties == Ties::first) {
                vec &odd = pick<p>(odd0, odd1, odd2);
                odd = V::add(odd, V::bit_and(v, V::splat(1)));
            }
            return pick<p>(q0, q1, q2).template add<rounding, small_d, uniform>(
                v, uniform ? k0 : pick<p>(k0, k1, k2));
        }

        // Where the level's sums of d gather a turn's before widening them.
        unsigned turns = 0;
        void end_turn() {
            if constexpr (requires { q0.widen(); }) {
                if (++turns == k0.steps) {
                    q0.widen();
                    q1.widen();
                    q2.widen();
                    turns = 0;
                }
            } else if constexpr (requires { q0.end_turn(); }) {
                q0.end_turn();
                q1.end_turn();
                q2.end_turn();
            }
        }

        void flags16(vec a, vec b, vec16 &is_tie, vec16 &odd_d) const {
            const vec16 v16 = V::narrow16(a, b);
            square_flags16(V::mul16(v16, v16), is_tie, odd_d);
        }

        void square_flags16(vec16 x16, vec16 &is_tie, vec16 &odd_d) const {
            if constexpr (ties == Ties::scan8) {
                // At unit 8 a square is 0, 1 or 4 mod 8, so bit 2 alone marks
                // a tie, and h = 3 carries into bit 3 from none of them.
                is_tie = V::test_bit16(x16, 2);
                odd_d = V::test_bit16(x16, 3);
            } else {
                is_tie = V::equal16(V::shift_left16(x16, 16 - j), tie16);
                odd_d = V::test_bit16(V::add16(x16, h16), j);
            }
        }

        template <std::size_t p> void lane_flags(vec v, vec &is_tie, vec &odd_d) const {
            vec x_low, x_high;
            V::square_parts(v, x_low, x_high);
            const vec w = V::add(x_low, h[p]);
            is_tie = V::equal(V::bit_and(x_low, m[p]), t[p]);
            odd_d = V::equal(V::bit_and(w, u[p]), u[p]);
        }

        // The flags of a step, and the scan. Where the channels share their
        // unit the step's flags come from its samples in 16-bit lanes, two
        // vectors in one; else four vectors at a time, the last group of a
        // step perhaps of two only.
        void scan_step(const std::uint32_t *s, std::size_t slot) {
            std::uint64_t tie_bits = 0, odd_bits = 0;
            if constexpr (uniform) {
                constexpr std::size_t n = step_vectors / 2;
                vec16 is_tie[n], odd_d[n];
                unrolled<n>([&]<std::size_t i>() {
                    flags16(V::load(s + 2 * W * i), V::load(s + 2 * W * i + W), is_tie[i],
                            odd_d[i]);
                });
                step_bits16(is_tie, odd_d, tie_bits, odd_bits);
            } else {
                unrolled<(step_vectors + 3) / 4>([&]<std::size_t g>() {
                    constexpr std::size_t first = 4 * g;
                    constexpr bool whole = first + 2 < step_vectors;
                    const vec v0 = V::load(s + W * first), v1 = V::load(s + W * (first + 1));
                    const vec v2 = whole ? V::load(s + W * (first + 2)) : v0;
                    const vec v3 = whole ? V::load(s + W * (first + 3)) : v1;
                    vec t0, t1, t2, t3, o0, o1, o2, o3;
                    lane_flags<first % 3>(v0, t0, o0);
                    lane_flags<(first + 1) % 3>(v1, t1, o1);
                    lane_flags<(first + 2) % 3>(v2, t2, o2);
                    lane_flags<(first + 3) % 3>(v3, t3, o3);
                    tie_bits |= std::uint64_t{V::group_bits(t0, t1, t2, t3) & group_mask<whole>()}
                                << (W * first);
                    odd_bits |= std::uint64_t{V::group_bits(o0, o1, o2, o3) & group_mask<whole>()}
                                << (W * first);
                });
            }
            scan.step(slot, tie_bits, odd_bits);
        }

        // A step's sums of d and, from the squares' low parts they leave,
        // its flags and the scan; where the channels share their unit. The
        // flags of each two 16-bit vectors are gathered as soon as they are
        // made (unless the level gathers a step's at once), so that few are
        // held at a time.
        template <std::size_t i>
        void sums_and_flags(const std::uint32_t *s, vec16 &is_tie, vec16 &odd_d) {
            const vec a = V::load(s + 2 * W * i), b = V::load(s + 2 * W * i + W);
            const vec x_a = add_squares<(2 * i) % 3>(a), x_b = add_squares<(2 * i + 1) % 3>(b);
            // Whole squares do not narrow: their low 16 bits are made anew.
            if constexpr (std::is_same_v<RunSums, WholeSums<V>>)
                flags16(a, b, is_tie, odd_d);
            else
                square_flags16(V::narrow16(x_a, x_b), is_tie, odd_d);
        }
        void sums_and_scan_step(const std::uint32_t *s, std::size_t slot) {
            constexpr std::size_t n = step_vectors / 2;
            std::uint64_t tie_bits = 0, odd_bits = 0;
            if constexpr (ties == Ties::scan8 &&
                          requires { V::unit8_bits(s, tie_bits, odd_bits); }) {
                // At unit 8 the level reads the flags from the samples.
                unrolled<step_vectors>(
                    [&]<std::size_t i>() { add_squares<i % 3>(V::load(s + W * i)); });
                V::unit8_bits(s, tie_bits, odd_bits);
            } else if constexpr (requires { V::step_bits16; }) {
                vec16 is_tie[n], odd_d[n];
                unrolled<n>([&]<std::size_t i>() { sums_and_flags<i>(s, is_tie[i], odd_d[i]); });
                step_bits16(is_tie, odd_d, tie_bits, odd_bits);
            } else {
                unrolled<(n + 1) / 2>([&]<std::size_t g>() {
                    constexpr bool whole = 2 * g + 1 < n;
                    vec16 tie_a, odd_a, tie_b, odd_b;
                    sums_and_flags<2 * g>(s, tie_a, odd_a);
                    if constexpr (whole)
                        sums_and_flags<2 * g + 1>(s, tie_b, odd_b);
                    else
                        tie_b = tie_a, odd_b = odd_a;
                    tie_bits |= std::uint64_t{V::group_bits16(tie_a, tie_b) & group_mask<whole>()}
                                << (4 * W * g);
                    odd_bits |= std::uint64_t{V::group_bits16(odd_a, odd_b) & group_mask<whole>()}
                                << (4 * W * g);
                });
            }
            scan.step(slot, tie_bits, odd_bits);
        }

        void finish(ChannelTotals &totals, RunTotals &run_totals) const {
            VectorLoops::finish(e0, e1, e2, totals);
            const RunSums *const q[3] = {&q0, &q1, &q2};
            static constexpr std::uint32_t whole[W] = {}; // squares summed whole: j = 0
            for (std::size_t p = 0; p < 3; ++p) {
                std::uint64_t lanes[W];
                q[p]->totals(rounding == Rounding::exact ? whole : unit_bits[p], uniform, lanes);
                for (std::size_t i = 0; i < W; ++i)
                    run_totals.d_sum[channel(p, i)] += lanes[i];
            }
            if constexpr (ties == Ties::first) {
                std::uint64_t odd[3] = {};
                fold(odd0, odd1, odd2, [&](unsigned c, std::uint32_t n) { odd[c] += n; });
                for (unsigned c = 0; c < 3; ++c) {
                    run_totals.d_sum[c] = (run_totals.d_sum[c] - odd[c]) / 2;
                    run_totals.odd_ties[c] += (plan.parity >> c & 1) != 0 && odd[c] != 0 ? 1 : 0;
                }
            }
            if constexpr (scanned)
                for (unsigned c = 0; c < 3; ++c)
                    run_totals.d_sum[c] -= scan.total(c);
        }
    };

    // A run in up to three passes over pixels that stay in the cache, each
    // with few enough figures to stay in the vector registers: min, max and
    // sum; the sums of d (both in one pass where the level has the
    // registers, V::one_pass); and where ties are scanned, the flags and the
    // scan. Where the channels share their unit the flags come from the
    // squares the sums of d leave, in the same pass, after one for the
    // extremes: at every level, for the flags need registers too.
    // Calls body(s, slot) for every step of a run, in order, with the slot
    // of the run's scan that the step's flags go to.
    template <class State, class Body>
    static void for_each_step(const State &run, const std::uint32_t *s, std::size_t count,
                              Body &&body) {
        constexpr std::size_t chunks = decltype(run.scan)::chunks;
        const std::size_t steps = count / step_pixels, rows = run.scan.rows;
        for (std::size_t chunk = 0; chunk < chunks && chunk * rows < steps; ++chunk) {
            const std::size_t in_chunk = std::min(rows, steps - chunk * rows);
            for (std::size_t row = 0; row < in_chunk; ++row, s += 3 * step_pixels)
                body(s, row * chunks + chunk);
        }
    }

    template <Ties ties, bool uniform>
    static void run_in(const pixel *pixels, std::size_t count, const RunPlan &plan,
                       ChannelTotals &totals, RunTotals &run_totals) {
        using State = Run<ties, uniform>;
        State run(plan, totals);
        constexpr bool fused = State::scanned && uniform;
        constexpr bool one_pass =
            V::one_pass ||
            (V::one_pass_whole && std::is_same_v<typename State::RunSums, WholeSums<V>>);
        const std::uint32_t *const start = samples(pixels);
        if constexpr (State::scanned)
            run.scan.begin(count / step_pixels);
        if constexpr (fused || !one_pass)
            for_each_block<step_pixels / W>(pixels, count, [&](const std::uint32_t *s) {
                run.template add_extremes<0>(V::load(s));
                run.template add_extremes<1>(V::load(s + W));
                run.template add_extremes<2>(V::load(s + 2 * W));
            });
        if constexpr (fused) {
            for_each_step(run, start, count, [&](const std::uint32_t *s, std::size_t slot) {
                run.sums_and_scan_step(s, slot);
                run.end_turn();
            });
        } else {
            for_each_block<step_pixels / W>(
                pixels, count,
                [&](const std::uint32_t *s) {
                    const vec v0 = V::load(s), v1 = V::load(s + W), v2 = V::load(s + 2 * W);
                    if constexpr (one_pass) {
                        run.template add_extremes<0>(v0);
                        run.template add_extremes<1>(v1);
                        run.template add_extremes<2>(v2);
                    }
                    run.template add_squares<0>(v0);
                    run.template add_squares<1>(v1);
                    run.template add_squares<2>(v2);
                },
                [&] { run.end_turn(); });
        }
        if constexpr (State::scanned && !fused)
            for_each_step(run, start, count, [&](const std::uint32_t *s, std::size_t slot) {
                run.scan_step(s, slot);
            });
        if constexpr (State::scanned)
            run.scan.end();
        run.finish(totals, run_totals);
    }

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
        else if (uniform && j[0] == 3)
            run_in<Ties::scan8, true>(pixels, count, plan, totals, run_totals);
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
