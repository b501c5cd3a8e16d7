// x86-64 vector operations on 128 bits: the SSE2 baseline, and with sse41
// the SSE4.1 level (with POPCNT). Included by each of the two levels' files
// inside its own namespace, after <smmintrin.h>.

template <bool sse41> struct X86x128 {
    static constexpr std::size_t lanes = 4;
    using vec = __m128i;
    static constexpr bool one_pass = false;
    static constexpr bool one_pass_whole = false;
    static constexpr std::size_t narrow_unroll = 1;
    static constexpr std::size_t scan_chunks = sse41 ? 1 : 2;
    static constexpr bool has_unit8_bits = sse41;
    static constexpr bool has_step_bits16 = false;
    static constexpr bool has_whole_squares = sse41;
    static constexpr bool has_d_sums = false;
    static constexpr bool has_met_counts = false;
    static constexpr bool counts_bits = sse41;

    static vec load(const std::uint32_t *p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    }
    static void store(std::uint32_t *p, vec v) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
    }
    static vec zero() { return _mm_setzero_si128(); }
    static vec add(vec a, vec b) { return _mm_add_epi32(a, b); }
    static vec bit_and(vec a, vec b) { return _mm_and_si128(a, b); }
    static vec and_not(vec mask, vec v) { return _mm_andnot_si128(mask, v); }
    static vec equal(vec a, vec b) { return _mm_cmpeq_epi32(a, b); }
    static vec splat(std::uint32_t x) { return _mm_set1_epi32(static_cast<int>(x)); }
    static vec shift_right(vec v, int n) { return _mm_srl_epi32(v, _mm_cvtsi32_si128(n)); }
    // The saturating packs keep each lane's sign, and the order.
    static std::uint32_t group_bits(vec a, vec b, vec c, vec d) {
        const vec bytes = _mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        return static_cast<std::uint32_t>(_mm_movemask_epi8(bytes));
    }

    // 16-bit lanes, for the flags of the squares' low parts.
    using vec16 = __m128i;
    // Two vectors of values below 2^16 as one of 16-bit lanes, in order.
    // SSE2 packs only with signed saturation, so its values go in less
    // 2^15, which flips their top bit: the loops read only the lower bits,
    // and squares of values 2^15 apart agree in their low 16 bits.
    static vec16 narrow16(vec a, vec b) {
        if constexpr (sse41) {
            return _mm_packus_epi32(a, b);
        } else {
            const vec half = _mm_set1_epi32(0x8000);
            return _mm_packs_epi32(_mm_sub_epi32(a, half), _mm_sub_epi32(b, half));
        }
    }
    static vec16 splat16(std::uint16_t x) { return _mm_set1_epi16(static_cast<short>(x)); }
    static vec16 mul16(vec16 a, vec16 b) { return _mm_mullo_epi16(a, b); }
    static vec16 add16(vec16 a, vec16 b) { return _mm_add_epi16(a, b); }
    static vec16 shift_left16(vec16 v, int n) { return _mm_sll_epi16(v, _mm_cvtsi32_si128(n)); }
    static vec16 test_bit16(vec16 v, int n) { return shift_left16(v, 15 - n); }
    static vec16 equal16(vec16 a, vec16 b) { return _mm_cmpeq_epi16(a, b); }
    static std::uint32_t group_bits16(vec16 a, vec16 b) {
        return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
    }

    // SSE2 has min and max only on signed 16-bit halves. With the top bit of
    // each half flipped they order unsigned 16-bit values, and a sample of
    // 2^16 or more still shows in the max of the upper halves.
    static constexpr std::uint32_t flip = sse41 ? 0 : 0x80008000u;
    static vec order(vec v) {
        if constexpr (sse41)
            return v;
        else
            return _mm_xor_si128(v, _mm_set1_epi32(static_cast<int>(flip)));
    }
    static std::uint32_t unorder(std::uint32_t v) { return v ^ flip; }
    static vec min(vec a, vec b) {
        if constexpr (sse41)
            return _mm_min_epu32(a, b);
        else
            return _mm_min_epi16(a, b);
    }
    static vec max(vec a, vec b) {
        if constexpr (sse41)
            return _mm_max_epu32(a, b);
        else
            return _mm_max_epi16(a, b);
    }

    // The upper half of a narrow sample is 0, so the 16-bit multiply-add
    // gives its square whole.
    static vec square_narrow(vec v) { return _mm_madd_epi16(v, v); }
    // The upper half of a 16-bit sample is 0, and so are those of the
    // 16-bit products.
    static void square_parts(vec v, vec &low, vec &high) {
        low = _mm_mullo_epi16(v, v);
        high = _mm_mulhi_epu16(v, v);
    }
    static vec mul32(vec a, vec b) requires sse41 { return _mm_mullo_epi32(a, b); }
    // Each sample's residue mod 8 as a byte, looked up in a table of its
    // flags: the tie in the top bit, the odd d in the next. (A sample of
    // 2^16 or more saturates, and its run is not used.)
    static void unit8_bits(const std::uint32_t *s, std::uint64_t &ties,
                           std::uint64_t &odd_d) requires sse41 {
        const vec seven = _mm_set1_epi16(7);
        auto residues = [&](int k) {
            return _mm_and_si128(_mm_packus_epi32(load(s + 8 * k), load(s + 8 * k + 4)), seven);
        };
        const vec table = _mm_setr_epi8(0, 0, -128, 64, 0, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        ties = odd_d = 0;
        for (int g = 0; g < 3; ++g) {
            const vec flags =
                _mm_shuffle_epi8(table, _mm_packus_epi16(residues(2 * g), residues(2 * g + 1)));
            ties |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(flags))} << (16 * g);
            odd_d |= std::uint64_t{static_cast<std::uint32_t>(
                         _mm_movemask_epi8(_mm_slli_epi16(flags, 1)))}
                     << (16 * g);
        }
    }
    static void add_wide(std::uint64_t *w, vec v) requires sse41 {
        __m128i *const low = reinterpret_cast<__m128i *>(w), *const high = low + 1;
        _mm_store_si128(low, _mm_add_epi64(_mm_load_si128(low), _mm_cvtepu32_epi64(v)));
        _mm_store_si128(
            high, _mm_add_epi64(_mm_load_si128(high), _mm_cvtepu32_epi64(_mm_srli_si128(v, 8))));
    }
};
