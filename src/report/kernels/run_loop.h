// A run of 16-bit samples (or of 8-bit ones past 2^53): min, max and sum,
// and what its squares add to m, in up to three passes over pixels that
// stay in the cache, each with few enough figures to stay in the vector
// registers. (Part of loops.h; add_row.cpp says why the reckoning holds.)

// The kinds of run, by the units of its channels. Below 2^53 (exact) the
// squares move m by themselves. Past it, where every j is even there are
// no ties (none); where j = 1 in every channel (unit2) the ties are the odd
// squares and every d is even, so only a channel's first tie can meet an
// odd m, and counting the odd samples is enough; otherwise the ties are
// scanned: at unit 8 in every channel (scan_unit8), the commonest, with
// that unit built in, else at any units (scan).
enum class Ties { exact, none, unit2, scan_unit8, scan };

// How the scan counts the ties met: the level's own way where it has one.
template <class V> struct MetCountsOf { using type = ScalarCounts<V::counts_bits>; };
template <class V>
requires(V::has_met_counts) struct MetCountsOf<V> {
    using type = typename V::MetCounts;
};

// Flags for runs that scan no ties: none.
struct NoFlags {
    explicit NoFlags(const RunPlan &) {}
};

// The state of one run: each figure per lane, for the three vectors p of a
// block, and the constants of its rounding. Where every channel has the
// same unit (uniform), one set of constants serves the three.
template <class V, Ties ties, bool uniform> struct Run {
    using vec = typename V::vec;
    using vec16 = typename V::vec16;
    static constexpr std::size_t W = V::lanes;
    static constexpr std::size_t step_vectors = 3 * step_pixels / W;
    // At unit 2, d = x >> 1 = (x - (x & 1)) / 2: the squares are summed
    // whole, and their odd ones counted.
    static constexpr Rounding rounding =
        ties == Ties::exact || ties == Ties::unit2 ? Rounding::exact : Rounding::nearest;
    static constexpr bool scanned = ties == Ties::scan_unit8 || ties == Ties::scan;
    // Every d below 2^30 (j >= 2 in every lane): a step's four may share a
    // 32-bit lane before they are widened.
    static constexpr bool small_d = uniform && (ties == Ties::none || scanned);
    using Sums = SumsFor<V, rounding, uniform>;
    using Scan =
        std::conditional_t<(V::scan_chunks > 1), ChunkScan<V::scan_chunks, V::counts_bits, uniform>,
                           TieScan<typename MetCountsOf<V>::type, uniform>>;
    using Flags =
        std::conditional_t<!scanned, NoFlags,
                           std::conditional_t<uniform, SharedUnitFlags<V, ties == Ties::scan_unit8>,
                                              LaneUnitFlags<V>>>;

    // Each figure three times, for the vectors 0, 1 and 2 of a block.
    Flags flags; // the constants of a step's tie and odd-d flags
    const RunPlan &plan;
    std::uint32_t unit_bits[3][W];                            // j, lane by lane
    Extremes<V> e0, e1, e2;                                   // min, max and sum
    typename Sums::Constants k0, k1, k2;                      // of the sums of d: u/2, j, ...
    Sums d0, d1, d2;                                          // the sums of d
    vec odd0 = V::zero(), odd1 = V::zero(), odd2 = V::zero(); // odd squares, at unit 2
    Scan scan;
    unsigned turns = 0; // since the sums of d were last widened

    Run(const RunPlan &run_plan, const ChannelTotals &totals)
        : flags(run_plan), plan(run_plan), e0(0, totals), e1(1, totals), e2(2, totals) {
        for (std::size_t p = 0; p < 3; ++p)
            for (std::size_t i = 0; i < W; ++i)
                unit_bits[p][i] = plan.unit_bits[Lanes<V>::channel(p, i)];
        k0 = Sums::constants(unit_bits[0]);
        k1 = Sums::constants(unit_bits[1]);
        k2 = Sums::constants(unit_bits[2]);
        if constexpr (scanned) {
            // Channels whose j is even have no ties to scan.
            for (unsigned c = 0; c < 3; ++c)
                if (plan.unit_bits[c] % 2 == 1)
                    scan.channels |= channel_bits(c);
            scan.parity = plan.parity & 7;
        }
    }

    template <std::size_t p> void add_extremes(vec v) { pick<p>(e0, e1, e2).add(v); }

    // Gives what the sums leave of the square, for the flags.
    template <std::size_t p> vec add_squares(vec v) {
        if constexpr (ties == Ties::unit2) {
            vec &odd = pick<p>(odd0, odd1, odd2);
            odd = V::add(odd, V::bit_and(v, V::splat(1)));
        }
        return pick<p>(d0, d1, d2)
            .template add<rounding, small_d, uniform>(v, uniform ? k0 : pick<p>(k0, k1, k2));
    }

    void end_turn() {
        if constexpr (Sums::widening == Widening::after_steps) {
            if (++turns == k0.steps) {
                d0.widen();
                d1.widen();
                d2.widen();
                turns = 0;
            }
        } else if constexpr (Sums::widening == Widening::every_turn) {
            d0.end_turn();
            d1.end_turn();
            d2.end_turn();
        }
    }

    // A step's flags and their scan, where the units differ.
    void scan_step(const std::uint32_t *s, std::size_t slot) {
        std::uint64_t tie_bits, odd_bits;
        flags.of_step(s, tie_bits, odd_bits);
        scan.step(slot, tie_bits, odd_bits);
    }

    // The sums of d of two vectors of a step, and their flags from the
    // squares' low parts that the sums leave; where the units are shared.
    template <std::size_t i>
    void sums_and_flags(const std::uint32_t *s, vec16 &is_tie, vec16 &odd_d) {
        const vec a = V::load(s + 2 * W * i), b = V::load(s + 2 * W * i + W);
        const vec x_a = add_squares<(2 * i) % 3>(a), x_b = add_squares<(2 * i + 1) % 3>(b);
        // Whole squares do not narrow: their low 16 bits are made anew.
        if constexpr (std::is_same_v<Sums, WholeSums<V>>)
            flags.of_samples(a, b, is_tie, odd_d);
        else
            flags.of_squares(V::narrow16(x_a, x_b), is_tie, odd_d);
    }

    // A step's sums of d, its flags and their scan, in one pass, where the
    // units are shared. The flags of each two 16-bit vectors are gathered as
    // soon as they are made (unless the level gathers a step's at once), so
    // that few are held at a time.
    void sums_and_scan_step(const std::uint32_t *s, std::size_t slot) {
        constexpr std::size_t n = step_vectors / 2;
        std::uint64_t tie_bits = 0, odd_bits = 0;
        if constexpr (ties == Ties::scan_unit8 && V::has_unit8_bits) {
            // At unit 8 the level reads the flags from the samples.
            unrolled<step_vectors>(
                [&]<std::size_t i>() { add_squares<i % 3>(V::load(s + W * i)); });
            V::unit8_bits(s, tie_bits, odd_bits);
        } else if constexpr (V::has_step_bits16) {
            vec16 is_tie[n], odd_d[n];
            unrolled<n>([&]<std::size_t i>() { sums_and_flags<i>(s, is_tie[i], odd_d[i]); });
            step_bits16<V>(is_tie, odd_d, tie_bits, odd_bits);
        } else {
            unrolled<(n + 1) / 2>([&]<std::size_t g>() {
                constexpr bool whole = 2 * g + 1 < n;
                vec16 tie_a, odd_a, tie_b, odd_b;
                sums_and_flags<2 * g>(s, tie_a, odd_a);
                if constexpr (whole)
                    sums_and_flags<2 * g + 1>(s, tie_b, odd_b);
                else
                    tie_b = tie_a, odd_b = odd_a;
                tie_bits |= std::uint64_t{V::group_bits16(tie_a, tie_b) & group_mask<V, whole>()}
                            << (4 * W * g);
                odd_bits |= std::uint64_t{V::group_bits16(odd_a, odd_b) & group_mask<V, whole>()}
                            << (4 * W * g);
            });
        }
        scan.step(slot, tie_bits, odd_bits);
    }

    // The lanes' figures into the channels' totals, and the run's d and ties
    // into what it adds to m.
    void finish(ChannelTotals &totals, RunTotals &run_totals) const {
        fold_extremes(e0, e1, e2, totals);
        const Sums *const sums[3] = {&d0, &d1, &d2};
        static constexpr std::uint32_t whole[W] = {}; // squares summed whole: j = 0
        for (std::size_t p = 0; p < 3; ++p) {
            std::uint64_t lanes[W];
            sums[p]->totals(rounding == Rounding::exact ? whole : unit_bits[p], uniform, lanes);
            for (std::size_t i = 0; i < W; ++i)
                run_totals.d_sum[Lanes<V>::channel(p, i)] += lanes[i];
        }
        if constexpr (ties == Ties::unit2) {
            std::uint64_t odd[3] = {};
            Lanes<V>::fold(odd0, odd1, odd2, [&](unsigned c, std::uint32_t n) { odd[c] += n; });
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

// Calls body(s, slot) for every step of a run, in order, with the slot of
// the run's scan that the step's flags go to.
template <class State, class Body>
void for_each_step(const State &run, const std::uint32_t *s, std::size_t count, Body &&body) {
    constexpr std::size_t chunks = decltype(run.scan)::chunks;
    const std::size_t steps = count / step_pixels, per_chunk = run.scan.steps_per_chunk;
    for (std::size_t chunk = 0; chunk < chunks && chunk * per_chunk < steps; ++chunk) {
        const std::size_t left = steps - chunk * per_chunk;
        const std::size_t in_chunk = per_chunk < left ? per_chunk : left;
        for (std::size_t step = 0; step < in_chunk; ++step, s += 3 * step_pixels)
            body(s, step * chunks + chunk);
    }
}

// The passes over one run: min, max and sum; the sums of d (in the same
// pass where the level has the registers, one_pass); and where ties are
// scanned, the flags and the scan. Where the channels share their unit the
// flags come from the squares the sums of d leave, in the same pass, after
// one for the extremes: at every level, for the flags need registers too.
template <class V, Ties ties, bool uniform>
void run_in(const pixel *pixels, std::size_t count, const RunPlan &plan, ChannelTotals &totals,
            RunTotals &run_totals) {
    using State = Run<V, ties, uniform>;
    using L = Lanes<V>;
    constexpr std::size_t W = V::lanes, blocks_per_step = step_pixels / W;
    constexpr bool fused = State::scanned && uniform;
    constexpr bool one_pass =
        V::one_pass || (V::one_pass_whole && std::is_same_v<typename State::Sums, WholeSums<V>>);
    State run(plan, totals);
    const std::uint32_t *const start = L::samples(pixels);
    if constexpr (State::scanned)
        run.scan.begin(count / step_pixels);
    if constexpr (fused || !one_pass)
        L::template for_each_block<blocks_per_step>(pixels, count, [&](const std::uint32_t *s) {
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
        L::template for_each_block<blocks_per_step>(
            pixels, count,
            [&](const std::uint32_t *s) {
                const typename V::vec v0 = V::load(s), v1 = V::load(s + W), v2 = V::load(s + 2 * W);
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
        if constexpr (State::scanned)
            for_each_step(run, start, count, [&](const std::uint32_t *s, std::size_t slot) {
                run.scan_step(s, slot);
            });
    }
    if constexpr (State::scanned)
        run.scan.end();
    run.finish(totals, run_totals);
}

// A run, by the kind its channels' units make.
template <class V>
void run_loop(const pixel *pixels, std::size_t count, const RunPlan &plan, ChannelTotals &totals,
              RunTotals &run_totals) {
    const std::uint32_t(&j)[3] = plan.unit_bits;
    const bool uniform = j[0] == j[1] && j[1] == j[2];
    if (uniform && j[0] == 0)
        run_in<V, Ties::exact, true>(pixels, count, plan, totals, run_totals);
    else if (uniform && j[0] % 2 == 0)
        run_in<V, Ties::none, true>(pixels, count, plan, totals, run_totals);
    else if (uniform && j[0] == 1)
        run_in<V, Ties::unit2, true>(pixels, count, plan, totals, run_totals);
    else if (uniform && j[0] == 3)
        run_in<V, Ties::scan_unit8, true>(pixels, count, plan, totals, run_totals);
    else if (uniform)
        run_in<V, Ties::scan, true>(pixels, count, plan, totals, run_totals);
    else if (((j[0] | j[1] | j[2]) & 1) == 0)
        run_in<V, Ties::none, false>(pixels, count, plan, totals, run_totals);
    else
        run_in<V, Ties::scan, false>(pixels, count, plan, totals, run_totals);
}
