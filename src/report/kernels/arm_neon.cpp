// The aarch64 baseline: NEON, which every aarch64 processor has.
#include "vector_loops.h"

#include <arm_neon.h>

namespace pixtally::kernels {

namespace {

struct Neon {
    static constexpr std::size_t lanes = 4;
    using vec = uint32x4_t;

    static vec load(const std::uint32_t *p) { return vld1q_u32(p); }
    static void store(std::uint32_t *p, vec v) { vst1q_u32(p, v); }
    static vec zero() { return vdupq_n_u32(0); }
    static vec add(vec a, vec b) { return vaddq_u32(a, b); }
    static vec bit_and(vec a, vec b) { return vandq_u32(a, b); }
    static vec bit_or(vec a, vec b) { return vorrq_u32(a, b); }
    static vec and_not(vec mask, vec v) { return vbicq_u32(v, mask); }
    static vec equal(vec a, vec b) { return vceqq_u32(a, b); }
    // NEON has no move-mask. The loops ask it only of comparisons, whose
    // lanes are all ones or all zeros: keep each lane's weight, and add.
    static unsigned top_bits(vec v) {
        static constexpr std::uint32_t weights[4] = {1, 2, 4, 8};
        return vaddvq_u32(vandq_u32(v, vld1q_u32(weights)));
    }
    static vec order(vec v) { return v; }
    static std::uint32_t unorder(std::uint32_t v) { return v; }
    static vec min(vec a, vec b) { return vminq_u32(a, b); }
    static vec max(vec a, vec b) { return vmaxq_u32(a, b); }
    static vec square_narrow(vec v) { return vmulq_u32(v, v); }
    static void square_parts(vec v, vec &low, vec &high) {
        const vec square = vmulq_u32(v, v);
        low = vandq_u32(square, vdupq_n_u32(0xffff));
        high = vshrq_n_u32(square, 16);
    }
};

} // namespace

const LevelKernels baseline_kernels = VectorLoops<Neon>::kernels;

} // namespace pixtally::kernels
