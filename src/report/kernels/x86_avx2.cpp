// The AVX2 level (with BMI1 and POPCNT): 256-bit vectors. Built with -mavx2
// -mbmi -mpopcnt.
#include "level.h"

#include <immintrin.h>

namespace pixtally::kernels::x86_avx2 {

namespace {

#include "loops.h"

struct Avx2 {
    static constexpr std::size_t lanes = 8;
    using vec = __m256i;
    static constexpr bool one_pass = false;
    static constexpr bool one_pass_whole = true;
    static constexpr std::size_t narrow_unroll = 1;
    static constexpr std::size_t scan_chunks = 4;
    static constexpr bool has_unit8_bits = true;
    static constexpr bool has_step_bits16 = false;
    static constexpr bool has_whole_squares = true;
    static constexpr bool has_d_sums = false;
    static constexpr bool has_met_counts = false;
    static constexpr bool counts_bits = true;

    static vec load(const std::uint32_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static void store(std::uint32_t *p, vec v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
    }
    static vec zero() { return _mm256_setzero_si256(); }
    static vec add(vec a, vec b) { return _mm256_add_epi32(a, b); }
    static vec bit_and(vec a, vec b) { return _mm256_and_si256(a, b); }
    static vec and_not(vec mask, vec v) { return _mm256_andnot_si256(mask, v); }
    static vec equal(vec a, vec b) { return _mm256_cmpeq_epi32(a, b); }
    static vec splat(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
    static vec shift_right(vec v, int n) { return _mm256_srl_epi32(v, _mm_cvtsi32_si128(n)); }
    // The saturating packs keep each lane's sign, but work within each
    // 128-bit half: the permutation puts the four-byte groups back in order.
    static std::uint32_t group_bits(vec a, vec b, vec c, vec d) {
        const vec bytes = _mm256_packs_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
        const vec ordered =
            _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(ordered));
    }
    using vec16 = __m256i;
    // Two vectors as one of 16-bit lanes; in the order of the 32-bit packs,
    // which group_bits16 puts right.
    static vec16 narrow16(vec a, vec b) { return _mm256_packus_epi32(a, b); }
    static vec16 splat16(std::uint16_t x) { return _mm256_set1_epi16(static_cast<short>(x)); }
    static vec16 mul16(vec16 a, vec16 b) { return _mm256_mullo_epi16(a, b); }
    static vec16 add16(vec16 a, vec16 b) { return _mm256_add_epi16(a, b); }
    static vec16 shift_left16(vec16 v, int n) { return _mm256_sll_epi16(v, _mm_cvtsi32_si128(n)); }
    static vec16 test_bit16(vec16 v, int n) { return shift_left16(v, 15 - n); }
    static vec16 equal16(vec16 a, vec16 b) { return _mm256_cmpeq_epi16(a, b); }
    static std::uint32_t group_bits16(vec16 a, vec16 b) {
        const vec bytes = _mm256_packs_epi16(a, b);
        const vec ordered =
            _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
        return static_cast<std::uint32_t>(_mm256_movemask_epi8(ordered));
    }
    static vec order(vec v) { return v; }
    static std::uint32_t unorder(std::uint32_t v) { return v; }
    static vec min(vec a, vec b) { return _mm256_min_epu32(a, b); }
    static vec max(vec a, vec b) { return _mm256_max_epu32(a, b); }
    // The upper half of a sample is 0: see x86_128.h.
    static vec square_narrow(vec v) { return _mm256_madd_epi16(v, v); }
    static void square_parts(vec v, vec &low, vec &high) {
        low = _mm256_mullo_epi16(v, v);
        high = _mm256_mulhi_epu16(v, v);
    }
    static vec mul32(vec a, vec b) { return _mm256_mullo_epi32(a, b); }
    // Each sample's residue mod 8 as a byte, looked up in a table of its
    // flags: the tie in the top bit, the odd d in the next. (A sample of
    // 2^16 or more saturates, and its run is not used.) The packs work
    // within each 128-bit half; the permutation puts the four-byte groups
    // back in order.
    static void unit8_bits(const std::uint32_t *s, std::uint64_t &ties, std::uint64_t &odd_d) {
        const vec seven = _mm256_set1_epi16(7);
        auto residues = [&](int k) {
            return _mm256_and_si256(_mm256_packus_epi32(load(s + 16 * k), load(s + 16 * k + 8)),
                                    seven);
        };
        const vec table = _mm256_setr_epi8(0, 0, -128, 64, 0, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                           0, 0, -128, 64, 0, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        const vec order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        const vec first = _mm256_permutevar8x32_epi32(
            _mm256_shuffle_epi8(table, _mm256_packus_epi16(residues(0), residues(1))), order);
        const vec last = _mm256_permutevar8x32_epi32(
            _mm256_shuffle_epi8(table, _mm256_packus_epi16(residues(2), zero())), order);
        auto bits = [](vec v) {
            return static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(v)));
        };
        ties = bits(first) | bits(last) << 32;
        odd_d = bits(_mm256_slli_epi16(first, 1)) | bits(_mm256_slli_epi16(last, 1)) << 32;
    }
    static void add_wide(std::uint64_t *w, vec v) {
        __m256i *const low = reinterpret_cast<__m256i *>(w), *const high = low + 1;
        _mm256_store_si256(low, _mm256_add_epi64(_mm256_load_si256(low),
                                                 _mm256_cvtepu32_epi64(_mm256_castsi256_si128(v))));
        _mm256_store_si256(high,
                           _mm256_add_epi64(_mm256_load_si256(high),
                                            _mm256_cvtepu32_epi64(_mm256_extracti128_si256(v, 1))));
    }
};

} // namespace

constexpr KernelLevel level = make_level<Avx2>("avx2", cpu_avx2 | cpu_bmi1 | cpu_popcnt);

} // namespace pixtally::kernels::x86_avx2
