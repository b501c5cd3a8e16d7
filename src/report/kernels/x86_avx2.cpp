// The AVX2 level (with POPCNT): 256-bit vectors. Built with -mavx2 -mpopcnt.
#include "vector_loops.h"

#include <immintrin.h>

namespace pixtally::kernels {

namespace {

struct Avx2 {
    static constexpr std::size_t lanes = 8;
    using vec = __m256i;

    static vec load(const std::uint32_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static void store(std::uint32_t *p, vec v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
    }
    static vec zero() { return _mm256_setzero_si256(); }
    static vec add(vec a, vec b) { return _mm256_add_epi32(a, b); }
    static vec bit_and(vec a, vec b) { return _mm256_and_si256(a, b); }
    static vec bit_or(vec a, vec b) { return _mm256_or_si256(a, b); }
    static vec and_not(vec mask, vec v) { return _mm256_andnot_si256(mask, v); }
    static vec equal(vec a, vec b) { return _mm256_cmpeq_epi32(a, b); }
    static unsigned top_bits(vec v) {
        return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(v)));
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
};

} // namespace

const LevelKernels avx2_kernels = VectorLoops<Avx2>::kernels;

} // namespace pixtally::kernels
