// A level's entry: its loops, its flags, and its operations on plain arrays
// for the tests, made from its operations Ops where its file instantiates
// them. (Part of loops.h.)

// The probes: each operation once, its vectors in and out through memory.
template <class V> struct Probes {
    using vec = typename V::vec;
    static constexpr std::size_t W = V::lanes;

    static std::uint32_t group_bits(const std::uint32_t *v) {
        return V::group_bits(V::load(v), V::load(v + W), V::load(v + 2 * W), V::load(v + 3 * W));
    }
    static std::uint32_t narrow16_bits(const std::uint32_t *v, int n) {
        const typename V::vec16 v16 = V::narrow16(V::load(v), V::load(v + W));
        return V::group_bits16(V::test_bit16(v16, n), V::test_bit16(V::mul16(v16, v16), n));
    }
    static void min_max(const std::uint32_t *a, const std::uint32_t *b, std::uint32_t *min,
                        std::uint32_t *max) {
        const vec x = V::order(V::load(a)), y = V::order(V::load(b));
        V::store(min, V::min(x, y));
        V::store(max, V::max(x, y));
        for (std::size_t i = 0; i < W; ++i) {
            min[i] = V::unorder(min[i]);
            max[i] = V::unorder(max[i]);
        }
    }
    static void unit8_bits(const std::uint32_t *step, std::uint64_t &ties, std::uint64_t &odd_d) {
        if constexpr (V::has_unit8_bits)
            V::unit8_bits(step, ties, odd_d);
    }
    static void add_wide(std::uint64_t *wide, const std::uint32_t *v) {
        if constexpr (V::has_whole_squares) {
            alignas(32) std::uint64_t aligned[W];
            for (std::size_t i = 0; i < W; ++i)
                aligned[i] = wide[i];
            V::add_wide(aligned, V::load(v));
            for (std::size_t i = 0; i < W; ++i)
                wide[i] = aligned[i];
        }
    }
};

// The entry of the level whose operations are Ops, named name, needing the
// CpuFeature bits needs. Where Ops lacks an operation every level must have,
// or one its flags claim, this does not compile.
template <LevelOps Ops> constexpr KernelLevel make_level(const char *name, std::uint32_t needs) {
    static_assert(provides_what_it_claims<Ops>());
    using P = Probes<Ops>;
    return {
        name,
        needs,
        {narrow_loop<Ops>, run_loop<Ops>},
        {Ops::has_unit8_bits, Ops::has_step_bits16, Ops::has_whole_squares, Ops::has_d_sums,
         Ops::has_met_counts, Ops::counts_bits, Ops::scan_chunks},
        {Ops::lanes, P::group_bits, P::narrow16_bits, P::min_max,
         Ops::has_unit8_bits ? P::unit8_bits : nullptr,
         Ops::has_whole_squares ? P::add_wide : nullptr},
    };
}
