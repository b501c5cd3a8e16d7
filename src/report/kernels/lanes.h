// What every loop shares: the layout of a block in the lanes, loops
// unrolled at compile time, and the folding of per-lane figures into their
// channels. (Part of loops.h.)

// Calls body.operator()<k>() for k = 0 .. n-1, unrolled, so that a vector's
// place in its block or step is known when compiling.
template <std::size_t n, class Body> void unrolled(Body &&body) {
    [&]<std::size_t... k>(std::index_sequence<k...>) {
        (body.template operator()<k>(), ...);
    }
    (std::make_index_sequence<n>{});
}

// One of three, chosen when compiling: the figures of vector p of a block
// are three members, not an array, which the compiler would keep in memory.
template <std::size_t p, class T> T &pick(T &a, T &b, T &c) {
    if constexpr (p == 0)
        return a;
    else if constexpr (p == 1)
        return b;
    else
        return c;
}

template <class V> struct Lanes {
    using vec = typename V::vec;
    static constexpr std::size_t W = V::lanes;

    // The channel of lane i of vector p of a block.
    static constexpr unsigned channel(std::size_t p, std::size_t i) {
        return static_cast<unsigned>((W * p + i) % 3);
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

    static const std::uint32_t *samples(const pixel *pixels) {
        return reinterpret_cast<const std::uint32_t *>(pixels);
    }

    // Calls body(s) for the samples s of every block of count pixels (a
    // whole number of steps), unroll blocks to a turn of the loop, and
    // after_turn() after each turn. Whether more blocks to a turn pay (fewer
    // loop instructions, more work side by side) or cost (values that no
    // longer fit the registers) depends on the loop and the level.
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
};

// min, max and sum of every lane of vector p of a block, from the totals
// so far.
template <class V> struct Extremes {
    using vec = typename V::vec;
    vec low, high, sum;

    Extremes(std::size_t p, const ChannelTotals &totals)
        : low(V::order(Lanes<V>::per_lane(p, totals.min))),
          high(V::order(Lanes<V>::per_lane(p, totals.max))), sum(V::zero()) {}
    void add(vec v) {
        const vec ordered = V::order(v);
        low = V::min(low, ordered);
        high = V::max(high, ordered);
        sum = V::add(sum, v);
    }
};

// The extremes of the three vectors of a block into the channels' totals.
// Always inlined: where the compiler would call it, the loop before it
// keeps its extremes in memory, for their addresses are taken.
template <class V>
[[gnu::always_inline]] inline void fold_extremes(const Extremes<V> &e0, const Extremes<V> &e1,
                                                 const Extremes<V> &e2, ChannelTotals &totals) {
    Lanes<V>::fold(e0.low, e1.low, e2.low, [&](unsigned c, std::uint32_t v) {
        v = V::unorder(v);
        totals.min[c] = v < totals.min[c] ? v : totals.min[c];
    });
    Lanes<V>::fold(e0.high, e1.high, e2.high, [&](unsigned c, std::uint32_t v) {
        v = V::unorder(v);
        totals.max[c] = v > totals.max[c] ? v : totals.max[c];
    });
    Lanes<V>::fold(e0.sum, e1.sum, e2.sum,
                   [&](unsigned c, std::uint32_t v) { totals.sum[c] += v; });
}
