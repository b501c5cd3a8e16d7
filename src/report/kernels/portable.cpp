// The baseline elsewhere: the compiler's own 128-bit vector code, which it
// builds for whatever vector unit the processor has, or none.
#include "vector_loops.h"

namespace pixtally::kernels {

namespace {

struct Portable {
    static constexpr std::size_t lanes = 4;
    using vec = std::uint32_t __attribute__((vector_size(16)));

    static vec load(const std::uint32_t *p) {
        vec v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(std::uint32_t *p, vec v) { __builtin_memcpy(p, &v, sizeof v); }
    static vec zero() { return vec{}; }
    static vec add(vec a, vec b) { return a + b; }
    static vec bit_and(vec a, vec b) { return a & b; }
    static vec bit_or(vec a, vec b) { return a | b; }
    static vec and_not(vec mask, vec v) { return v & ~mask; }
    static vec equal(vec a, vec b) { return reinterpret_cast<vec>(a == b); }
    static unsigned top_bits(vec v) {
        unsigned bits = 0;
        for (unsigned i = 0; i < lanes; ++i)
            bits |= (v[i] >> 31) << i;
        return bits;
    }
    static vec order(vec v) { return v; }
    static std::uint32_t unorder(std::uint32_t v) { return v; }
    static vec min(vec a, vec b) { return a < b ? a : b; }
    static vec max(vec a, vec b) { return a > b ? a : b; }
    static vec square_narrow(vec v) { return v * v; }
    static void square_parts(vec v, vec &low, vec &high) {
        const vec square = v * v;
        low = square & 0xffff;
        high = square >> 16;
    }
};

} // namespace

const LevelKernels baseline_kernels = VectorLoops<Portable>::kernels;

} // namespace pixtally::kernels
