// A step's flags, for the tie scan: for each sample, whether its square is
// a tie at its channel's unit, and whether its d is odd; one 64-bit word of
// each per step, sample s at bit s. (Part of loops.h.)

// The bits of a group that hold samples: all, or where a step's last group
// is short, those of its first half.
template <class V, bool whole> constexpr std::uint32_t group_mask() {
    return whole ? ~std::uint32_t{0} : (std::uint32_t{1} << (2 * V::lanes)) - 1;
}

// The top bits of a step's flags in 16-bit lanes, two vectors' worth each,
// in sample order: the level's own way where it has one.
template <class V, std::size_t n>
void step_bits16(const typename V::vec16 (&is_tie)[n], const typename V::vec16 (&odd_d)[n],
                 std::uint64_t &tie_bits, std::uint64_t &odd_bits) {
    if constexpr (V::has_step_bits16) {
        V::step_bits16(is_tie, odd_d, tie_bits, odd_bits);
    } else {
        unrolled<(n + 1) / 2>([&]<std::size_t g>() {
            constexpr bool whole = 2 * g + 1 < n;
            constexpr std::size_t second = whole ? 2 * g + 1 : 2 * g;
            tie_bits |= std::uint64_t{V::group_bits16(is_tie[2 * g], is_tie[second]) &
                                      group_mask<V, whole>()}
                        << (4 * V::lanes * g);
            odd_bits |=
                std::uint64_t{V::group_bits16(odd_d[2 * g], odd_d[second]) & group_mask<V, whole>()}
                << (4 * V::lanes * g);
        });
    }
}

// The flags where every channel has the same unit, from the squares' low
// 16 bits, two vectors of samples in one of 16-bit lanes: a tie has its low
// j bits at 1000...0, and d is odd where bit j of x + h is set, h = u/2 - 1.
// At unit 8 (unit8) a square is 0, 1 or 4 mod 8, so bit 2 alone marks a
// tie, and h = 3 carries into bit 3 from none of them.
template <class V, bool unit8> struct SharedUnitFlags {
    using vec = typename V::vec;
    using vec16 = typename V::vec16;
    int j;
    vec16 tie16, half_less_one16;

    explicit SharedUnitFlags(const RunPlan &plan)
        : j(static_cast<int>(plan.unit_bits[0])), tie16(V::splat16(0x8000)),
          half_less_one16(
              V::splat16(static_cast<std::uint16_t>(j == 0 ? 0 : (1u << (j - 1)) - 1))) {}

    void of_squares(vec16 x16, vec16 &is_tie, vec16 &odd_d) const {
        if constexpr (unit8) {
            is_tie = V::test_bit16(x16, 2);
            odd_d = V::test_bit16(x16, 3);
        } else {
            is_tie = V::equal16(V::shift_left16(x16, 16 - j), tie16);
            odd_d = V::test_bit16(V::add16(x16, half_less_one16), j);
        }
    }
    // The same from the samples of two vectors.
    void of_samples(vec a, vec b, vec16 &is_tie, vec16 &odd_d) const {
        const vec16 v16 = V::narrow16(a, b);
        of_squares(V::mul16(v16, v16), is_tie, odd_d);
    }
};

// The flags where the channels' units differ: each lane compares with its
// own channel's, in 32-bit lanes, four vectors at a time.
template <class V> struct LaneUnitFlags {
    using vec = typename V::vec;
    static constexpr std::size_t W = V::lanes;
    static constexpr std::size_t step_vectors = 3 * step_pixels / W;
    // Per vector p of a block: h = u/2 - 1, u - 1, the residue of a tie (u/2,
    // or none where j is even), and u.
    vec half_less_one[3], low_bits[3], tie_residue[3], unit[3];

    explicit LaneUnitFlags(const RunPlan &plan) {
        std::uint32_t h[3], low[3], tie[3], u[3];
        for (unsigned c = 0; c < 3; ++c) {
            const std::uint32_t j = plan.unit_bits[c];
            u[c] = std::uint32_t{1} << j;
            low[c] = u[c] - 1;
            h[c] = low[c] / 2;
            tie[c] = j % 2 == 1 ? u[c] / 2 : ~std::uint32_t{0};
        }
        for (std::size_t p = 0; p < 3; ++p) {
            half_less_one[p] = Lanes<V>::per_lane(p, h);
            low_bits[p] = Lanes<V>::per_lane(p, low);
            tie_residue[p] = Lanes<V>::per_lane(p, tie);
            unit[p] = Lanes<V>::per_lane(p, u);
        }
    }

    template <std::size_t p> void of_sample(vec v, vec &is_tie, vec &odd_d) const {
        vec x_low, x_high;
        V::square_parts(v, x_low, x_high);
        const vec w = V::add(x_low, half_less_one[p]);
        is_tie = V::equal(V::bit_and(x_low, low_bits[p]), tie_residue[p]);
        odd_d = V::equal(V::bit_and(w, unit[p]), unit[p]);
    }

    // A step's flags from its samples at s; the last group of four vectors
    // of a step is perhaps of two only.
    void of_step(const std::uint32_t *s, std::uint64_t &tie_bits, std::uint64_t &odd_bits) const {
        tie_bits = odd_bits = 0;
        unrolled<(step_vectors + 3) / 4>([&]<std::size_t g>() {
            constexpr std::size_t first = 4 * g;
            constexpr bool whole = first + 2 < step_vectors;
            const vec v0 = V::load(s + W * first), v1 = V::load(s + W * (first + 1));
            const vec v2 = whole ? V::load(s + W * (first + 2)) : v0;
            const vec v3 = whole ? V::load(s + W * (first + 3)) : v1;
            vec t0, t1, t2, t3, o0, o1, o2, o3;
            of_sample<first % 3>(v0, t0, o0);
            of_sample<(first + 1) % 3>(v1, t1, o1);
            of_sample<(first + 2) % 3>(v2, t2, o2);
            of_sample<(first + 3) % 3>(v3, t3, o3);
            tie_bits |= std::uint64_t{V::group_bits(t0, t1, t2, t3) & group_mask<V, whole>()}
                        << (W * first);
            odd_bits |= std::uint64_t{V::group_bits(o0, o1, o2, o3) & group_mask<V, whole>()}
                        << (W * first);
        });
    }
};
