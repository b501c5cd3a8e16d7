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
    static vec splat(std::uint32_t x) { return vdupq_n_u32(x); }
    static vec shift_left(vec v, int n) { return vshlq_u32(v, vdupq_n_s32(n)); }
    // NEON has no move-mask: spread each lane's top bit over the lane, keep
    // the lane's own bit of the group, and add the lanes.
    static std::uint32_t group_bits(vec a, vec b, vec c, vec d) {
        static constexpr std::uint32_t weights[4][4] = {
            {1, 2, 4, 8}, {16, 32, 64, 128}, {256, 512, 1024, 2048}, {4096, 8192, 16384, 32768}};
        auto bit = [](vec v, const std::uint32_t(&weight)[4]) {
            return vandq_u32(vreinterpretq_u32_s32(vshrq_n_s32(vreinterpretq_s32_u32(v), 31)),
                             vld1q_u32(weight));
        };
        return vaddvq_u32(vorrq_u32(vorrq_u32(bit(a, weights[0]), bit(b, weights[1])),
                                    vorrq_u32(bit(c, weights[2]), bit(d, weights[3]))));
    }
    using vec16 = uint16x8_t;
    // The low halves of two vectors' lanes.
    static vec16 narrow16(vec a, vec b) {
        return vuzp1q_u16(vreinterpretq_u16_u32(a), vreinterpretq_u16_u32(b));
    }
    static vec16 splat16(std::uint16_t x) { return vdupq_n_u16(x); }
    static vec16 mul16(vec16 a, vec16 b) { return vmulq_u16(a, b); }
    static vec16 add16(vec16 a, vec16 b) { return vaddq_u16(a, b); }
    static vec16 shift_left16(vec16 v, int n) {
        return vshlq_u16(v, vdupq_n_s16(static_cast<std::int16_t>(n)));
    }
    static vec16 equal16(vec16 a, vec16 b) { return vceqq_u16(a, b); }
    static std::uint32_t group_bits16(vec16 a, vec16 b) {
        static constexpr std::uint16_t weights[2][8] = {{1, 2, 4, 8, 16, 32, 64, 128},
                                                        {256, 512, 1024, 2048, 4096, 8192,
                                                         16384, 32768}};
        auto bit = [](vec16 v, const std::uint16_t(&weight)[8]) {
            return vandq_u16(vreinterpretq_u16_s16(vshrq_n_s16(vreinterpretq_s16_u16(v), 15)),
                             vld1q_u16(weight));
        };
        return vaddvq_u16(vorrq_u16(bit(a, weights[0]), bit(b, weights[1])));
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
