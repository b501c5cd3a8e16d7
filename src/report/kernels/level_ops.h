// What a level provides the loops: the operations every level must have,
// as a concept, and the optional ones, each behind a flag of the level's
// own. A level that lacks an operation, or names it otherwise, or claims
// one it lacks, does not compile: nothing falls back to a slower path
// unseen. (Part of loops.h.)

// Every level, on vectors (vec) of V::lanes unsigned 32-bit lanes:
//   load, store, zero, splat, add, bit_and, and_not(mask, v) = v & ~mask,
//   equal (all ones where equal), shift_right (every lane by the same
//   count), group_bits(a, b, c, d): the lanes' top bits, lane i of the k-th
//   vector at bit W*k + i;
//   order, min, max, unorder: min and max on values in order()'s form,
//   exact for samples below 2^16, with any wider sample showing in max;
//   square_narrow(v): v*v, for v below 2^15;
//   square_parts(v, low, high): v*v = high * 2^16 + low, for v below 2^16;
// and on vectors of 16-bit lanes (vec16):
//   narrow16(a, b): the lanes of a and b in one vector, exact in their low
//   15 bits where they are below 2^16 (the loops read no more, and the low
//   16 bits of a square need no more), in whatever order group_bits16 puts
//   right; splat16, add16, mul16 (the low 16 bits of the product),
//   shift_left16, equal16, test_bit16(v, n) (the lanes' top bits tell
//   whether bit n is set), and group_bits16(a, b), the top bits of the
//   lanes of a, then of b, in the order of the samples narrow16 took.
// Its tuning, which changes no figure:
//   one_pass: whether min, max and sum and the sums of d fit the vector
//   registers at once, and one_pass_whole, whether they do where the
//   squares are whole (WholeSums); narrow_unroll: how many blocks a turn of
//   the narrow loop takes; scan_chunks: how many chunks of a run its tie
//   scan takes side by side (ChunkScan), or 1 for one step at a time.
template <class V>
concept LevelOps = requires(typename V::vec v, typename V::vec &out, typename V::vec16 v16,
                            const std::uint32_t *in, std::uint32_t *to, int n, std::uint32_t x,
                            std::uint16_t x16) {
    { V::lanes } -> std::convertible_to<std::size_t>;
    { V::load(in) } -> std::same_as<typename V::vec>;
    V::store(to, v);
    { V::zero() } -> std::same_as<typename V::vec>;
    { V::splat(x) } -> std::same_as<typename V::vec>;
    { V::add(v, v) } -> std::same_as<typename V::vec>;
    { V::bit_and(v, v) } -> std::same_as<typename V::vec>;
    { V::and_not(v, v) } -> std::same_as<typename V::vec>;
    { V::equal(v, v) } -> std::same_as<typename V::vec>;
    { V::shift_right(v, n) } -> std::same_as<typename V::vec>;
    { V::group_bits(v, v, v, v) } -> std::same_as<std::uint32_t>;
    { V::order(v) } -> std::same_as<typename V::vec>;
    { V::min(v, v) } -> std::same_as<typename V::vec>;
    { V::max(v, v) } -> std::same_as<typename V::vec>;
    { V::unorder(x) } -> std::same_as<std::uint32_t>;
    { V::square_narrow(v) } -> std::same_as<typename V::vec>;
    V::square_parts(v, out, out);
    { V::narrow16(v, v) } -> std::same_as<typename V::vec16>;
    { V::splat16(x16) } -> std::same_as<typename V::vec16>;
    { V::add16(v16, v16) } -> std::same_as<typename V::vec16>;
    { V::mul16(v16, v16) } -> std::same_as<typename V::vec16>;
    { V::shift_left16(v16, n) } -> std::same_as<typename V::vec16>;
    { V::equal16(v16, v16) } -> std::same_as<typename V::vec16>;
    { V::test_bit16(v16, n) } -> std::same_as<typename V::vec16>;
    { V::group_bits16(v16, v16) } -> std::same_as<std::uint32_t>;
    { V::one_pass } -> std::convertible_to<bool>;
    { V::one_pass_whole } -> std::convertible_to<bool>;
    { V::narrow_unroll } -> std::convertible_to<std::size_t>;
    { V::scan_chunks } -> std::convertible_to<std::size_t>;
    // The flags of the optional operations below.
    { V::has_unit8_bits } -> std::convertible_to<bool>;
    { V::has_step_bits16 } -> std::convertible_to<bool>;
    { V::has_whole_squares } -> std::convertible_to<bool>;
    { V::has_d_sums } -> std::convertible_to<bool>;
    { V::has_met_counts } -> std::convertible_to<bool>;
    { V::counts_bits } -> std::convertible_to<bool>;
};

// The vectors of 16-bit lanes a step's flags fill: two 32-bit vectors each.
template <class V> constexpr std::size_t step_vectors16 = 3 * step_pixels / V::lanes / 2;

template <class T>
concept CountsMet = requires(T counts, std::uint64_t met, unsigned c) {
    counts.add(met);
    { counts.total(c) } -> std::same_as<std::uint64_t>;
};
template <class V> constexpr bool met_counts_provided() {
    if constexpr (requires { typename V::MetCounts; })
        return CountsMet<typename V::MetCounts>;
    else
        return false;
}

// The optional operations, each where its flag says the level has it:
//   unit8_bits(s, ties, odd_d): a step's flags at unit 8 from its samples
//   at s: a square is a tie there where its sample is 2 mod 4, and its d
//   is odd where the sample is 3 or 5 mod 8 (x mod 16 follows v mod 8, and
//   x + 3 carries nothing into bit 3);
//   step_bits16(is_tie, odd_d, ties, odd_bits): a step's flags from its
//   16-bit vectors, both words at once;
//   whole_squares: mul32 (the low 32 bits of a product) and add_wide(w, v),
//   which adds v's lanes to the W 64-bit sums at w (see WholeSums);
//   DSums: its own way of keeping the sums of d (see SplitSums);
//   MetCounts: its own way of counting the scan's ties by channel;
//   counts_bits: the processor counts a word's bits in one instruction, and
//   the level is built to use it.
template <LevelOps V> constexpr bool provides_what_it_claims() {
    using vec = typename V::vec;
    using vec16 = typename V::vec16;
    constexpr std::size_t n = step_vectors16<V>;
    static_assert(
        !V::has_unit8_bits ||
            requires(const std::uint32_t *s, std::uint64_t &bits) { V::unit8_bits(s, bits, bits); },
        "has_unit8_bits, and no unit8_bits(samples, ties, odd_d)");
    static_assert(
        !V::has_step_bits16 ||
            requires(const vec16(&flags)[n], std::uint64_t &bits) {
                V::step_bits16(flags, flags, bits, bits);
            },
        "has_step_bits16, and no step_bits16(is_tie, odd_d, ties, odd_bits)");
    static_assert(
        !V::has_whole_squares ||
            requires(vec v, std::uint64_t * wide) {
                { V::mul32(v, v) } -> std::same_as<vec>;
                V::add_wide(wide, v);
            },
        "has_whole_squares, and no mul32(a, b) or add_wide(wide, v)");
    static_assert(
        !V::has_d_sums || requires { typename V::DSums; }, "has_d_sums, and no type DSums");
    static_assert(!V::has_met_counts || met_counts_provided<V>(),
                  "has_met_counts, and no MetCounts with add(met) and total(channel)");
#ifndef __POPCNT__
    static_assert(!V::counts_bits, "counts_bits, and the level's file is built without POPCNT");
#endif
    return true;
}
