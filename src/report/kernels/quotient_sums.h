// The sums of d of a 16-bit run, per lane: how the squares move m, ties
// aside. A level may keep them its own way (V::DSums, see level_ops.h);
// every way provides what SplitSums does. (Part of loops.h.)

// What the loops sum for each square: x itself below 2^53 and at unit 2
// (exact); else x / u rounded to nearest, half up (nearest), which is d,
// or d + 1 at a tie: the scan takes that one back at every tie that met an
// even m (see tie_scan.h).
enum class Rounding { exact, nearest };

// When a way of summing moves its lanes' figures into wider ones: never;
// after every turn of the loop (end_turn()); or after as many turns as its
// constants' steps (widen()).
enum class Widening { never, every_turn, after_steps };

// The lanes' sums of (x + h) >> j, h = u/2, kept as the squares' high and
// low 16 bits apart, in 32-bit lanes: x + h = high * 2^16 + (low + h), and
// j <= 16, so (x + h) >> j = high * 2^(16 - j) + ((low + h) >> j). Where
// every lane has the same j (uniform) the low parts are shifted as they
// come; else they are summed without their last j bits, and shifted at the
// end.
template <class V> struct SplitSums {
    using vec = typename V::vec;
    static constexpr std::size_t W = V::lanes;
    static constexpr Widening widening = Widening::never;
    struct Constants {
        vec half, low_bits; // u/2 and u - 1, per lane
        int j;              // the first lane's
    };
    vec high = V::zero(), low = V::zero();

    static Constants constants(const std::uint32_t (&unit_bits)[W]) {
        std::uint32_t half[W], low_bits[W];
        for (std::size_t i = 0; i < W; ++i) {
            low_bits[i] = (std::uint32_t{1} << unit_bits[i]) - 1;
            half[i] = (low_bits[i] + 1) / 2;
        }
        return {V::load(half), V::load(low_bits), static_cast<int>(unit_bits[0])};
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
            low = V::add(low, V::shift_right(V::add(x_low, k.half), k.j));
        else
            low = V::add(low, V::and_not(k.low_bits, V::add(x_low, k.half)));
        return x_low;
    }
    void totals(const std::uint32_t (&unit_bits)[W], bool uniform, std::uint64_t (&d)[W]) const {
        std::uint32_t highs[W], lows[W];
        V::store(highs, high);
        V::store(lows, low);
        for (std::size_t i = 0; i < W; ++i)
            d[i] = (std::uint64_t{highs[i]} << (16 - unit_bits[i])) +
                   (uniform ? lows[i] : lows[i] >> unit_bits[i]);
    }
};

// Where every lane has the same unit, past 2^53 (j >= 2), on a level that
// multiplies 32-bit lanes whole (V::has_whole_squares): each square's
// (x + h) >> j is summed in a 32-bit lane for as many steps as it has room
// for, then added to the lane's 64-bit sum in memory, out of the registers'
// way. A step adds 16 / W of them to a lane, each below 2^(32 - j), so
// W * 2^j / 16 steps fit: at least one, for W >= 4 and j >= 2.
template <class V> struct WholeSums {
    using vec = typename V::vec;
    static constexpr std::size_t W = V::lanes;
    static constexpr Widening widening = Widening::after_steps;
    struct Constants {
        vec half;
        int j;
        unsigned steps; // between widenings
    };
    vec turn = V::zero();
    alignas(32) std::uint64_t wide[W] = {};

    static Constants constants(const std::uint32_t (&unit_bits)[W]) {
        const unsigned j = unit_bits[0];
        return {V::splat((std::uint32_t{1} << j) / 2), static_cast<int>(j),
                static_cast<unsigned>(W << j) / 16};
    }
    // Gives the square, for the flags to be read from its low 16 bits.
    template <Rounding, bool, bool> vec add(vec v, const Constants &k) {
        const vec x = V::mul32(v, v);
        turn = V::add(turn, V::shift_right(V::add(x, k.half), k.j));
        return x;
    }
    void widen() {
        V::add_wide(wide, turn);
        turn = V::zero();
    }
    void totals(const std::uint32_t (&)[W], bool, std::uint64_t (&d)[W]) const {
        std::uint32_t rest[W];
        V::store(rest, turn);
        for (std::size_t i = 0; i < W; ++i)
            d[i] = wide[i] + rest[i];
    }
};

// The level's own way where it has one, else split.
template <class V> struct DSumsOf { using type = SplitSums<V>; };
template <class V>
requires(V::has_d_sums) struct DSumsOf<V> {
    using type = typename V::DSums;
};

// Whole squares where every lane rounds at the same unit, on the levels
// that have them.
template <class V, Rounding rounding, bool uniform>
using SumsFor = std::conditional_t<rounding == Rounding::nearest && uniform && V::has_whole_squares,
                                   WholeSums<V>, typename DSumsOf<V>::type>;
