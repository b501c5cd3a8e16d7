// The aarch64 baseline: NEON, which every aarch64 processor has.
#include "level.h"

#include <arm_neon.h>

namespace pixtally::kernels::arm_neon {

namespace {

#include "loops.h"

// NEON multiplies and adds into 64-bit lanes in one instruction, and shifts
// each lane by its own count, rounding if asked: the sums of d are kept
// whole, two 32-bit lanes' worth in each 64-bit vector.
struct WideSums {
    static constexpr Widening widening = Widening::every_turn;
    struct Constants {
        int32x4_t shift; // -j: a right shift, rounding half up
    };
    uint64x2_t low = vdupq_n_u64(0), high = vdupq_n_u64(0);
    uint32x4_t turn = vdupq_n_u32(0); // the d of a turn, where they are small

    static Constants constants(const std::uint32_t (&unit_bits)[4]) {
        std::int32_t shift[4];
        for (std::size_t i = 0; i < 4; ++i)
            shift[i] = -static_cast<std::int32_t>(unit_bits[i]);
        return {vld1q_s32(shift)};
    }
    void add_lanes(uint32x4_t d) {
        low = vaddw_u32(low, vget_low_u32(d));
        high = vaddw_high_u32(high, d);
    }
    // Gives the square, whose low 16 bits the ties' flags are read from;
    // below 2^53, where the multiply-adds make no square apart, the sample.
    template <Rounding rounding, bool small, bool>
    uint32x4_t add(uint32x4_t v, const Constants &k) {
        if constexpr (rounding == Rounding::exact) {
            low = vmlal_u32(low, vget_low_u32(v), vget_low_u32(v));
            high = vmlal_high_u32(high, v, v);
            return v;
        }
        const uint32x4_t square = vmulq_u32(v, v);
        const uint32x4_t d = vrshlq_u32(square, k.shift);
        if constexpr (small)
            turn = vaddq_u32(turn, d);
        else
            add_lanes(d);
        return square;
    }
    // A turn adds four d to each lane, each below 2^30 where they are small.
    void end_turn() {
        add_lanes(turn);
        turn = vdupq_n_u32(0);
    }
    void totals(const std::uint32_t (&)[4], bool, std::uint64_t (&d)[4]) const {
        vst1q_u64(d, low);
        vst1q_u64(d + 2, high);
    }
};

// AArch64 has no scalar population count: a step's ties met with m odd are
// counted a byte at a time in vectors, and added up at the end.
struct ByteCounts {
    uint16x8_t red_green = vdupq_n_u16(0); // red in the low half
    uint16x4_t blue = vdup_n_u16(0);

    void add(std::uint64_t met) {
        static constexpr std::uint64_t masks[2] = {channel_bits(0), channel_bits(1)};
        const uint8x16_t both = vreinterpretq_u8_u64(vdupq_n_u64(met));
        red_green =
            vpadalq_u8(red_green, vcntq_u8(vandq_u8(both, vreinterpretq_u8_u64(vld1q_u64(masks)))));
        blue = vpadal_u8(blue, vcnt_u8(vand_u8(vget_low_u8(both), vcreate_u8(channel_bits(2)))));
    }
    std::uint64_t total(unsigned c) const {
        return c == 0   ? vaddlv_u16(vget_low_u16(red_green))
               : c == 1 ? vaddlv_u16(vget_high_u16(red_green))
                        : vaddlv_u16(blue);
    }
};

struct Neon {
    static constexpr std::size_t lanes = 4;
    using vec = uint32x4_t;
    // Thirty-two registers hold a run's extremes and sums at once.
    static constexpr bool one_pass = true;
    static constexpr bool one_pass_whole = true;
    static constexpr std::size_t narrow_unroll = 4;
    static constexpr std::size_t scan_chunks = 1;
    static constexpr bool has_unit8_bits = false;
    static constexpr bool has_step_bits16 = true;
    static constexpr bool has_whole_squares = false;
    static constexpr bool has_d_sums = true;
    using DSums = WideSums;
    static constexpr bool has_met_counts = true;
    using MetCounts = ByteCounts;
    static constexpr bool counts_bits = false;

    static vec load(const std::uint32_t *p) { return vld1q_u32(p); }
    static void store(std::uint32_t *p, vec v) { vst1q_u32(p, v); }
    static vec zero() { return vdupq_n_u32(0); }
    static vec add(vec a, vec b) { return vaddq_u32(a, b); }
    static vec bit_and(vec a, vec b) { return vandq_u32(a, b); }
    static vec and_not(vec mask, vec v) { return vbicq_u32(v, mask); }
    static vec equal(vec a, vec b) { return vceqq_u32(a, b); }
    static vec splat(std::uint32_t x) { return vdupq_n_u32(x); }
    static vec shift_right(vec v, int n) { return vshlq_u32(v, vdupq_n_s32(-n)); }
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
    static vec16 test_bit16(vec16 v, int n) {
        return vtstq_u16(v, vdupq_n_u16(static_cast<std::uint16_t>(1u << n)));
    }
    static vec16 equal16(vec16 a, vec16 b) { return vceqq_u16(a, b); }
    static std::uint32_t group_bits16(vec16 a, vec16 b) {
        static constexpr std::uint16_t weights[2][8] = {
            {1, 2, 4, 8, 16, 32, 64, 128}, {256, 512, 1024, 2048, 4096, 8192, 16384, 32768}};
        auto bit = [](vec16 v, const std::uint16_t(&weight)[8]) {
            return vandq_u16(vreinterpretq_u16_s16(vshrq_n_s16(vreinterpretq_s16_u16(v), 15)),
                             vld1q_u16(weight));
        };
        return vaddvq_u16(vorrq_u16(bit(a, weights[0]), bit(b, weights[1])));
    }
    // A step's 48 tie and 48 odd-d flags, six 16-bit vectors of each (whose
    // lanes are all ones or all zeros), at once: narrowed to bytes, each
    // byte kept as its bit's weight, then three rounds of pairwise adds
    // leave each group of eight samples in one byte.
    static void step_bits16(const vec16 (&is_tie)[6], const vec16 (&odd_d)[6],
                            std::uint64_t &tie_bits, std::uint64_t &odd_bits) {
        static constexpr std::uint8_t weights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                     1, 2, 4, 8, 16, 32, 64, 128};
        const uint8x16_t weight = vld1q_u8(weights);
        auto bytes = [&](vec16 a, vec16 b) {
            return vandq_u8(vuzp1q_u8(vreinterpretq_u8_u16(a), vreinterpretq_u8_u16(b)), weight);
        };
        const uint8x16_t both =
            vpaddq_u8(vpaddq_u8(vpaddq_u8(bytes(is_tie[0], is_tie[1]), bytes(is_tie[2], is_tie[3])),
                                vpaddq_u8(bytes(is_tie[4], is_tie[5]), bytes(odd_d[0], odd_d[1]))),
                      vpaddq_u8(vpaddq_u8(bytes(odd_d[2], odd_d[3]), bytes(odd_d[4], odd_d[5])),
                                vdupq_n_u8(0)));
        const std::uint64_t low = vgetq_lane_u64(vreinterpretq_u64_u8(both), 0);
        const std::uint64_t high = vgetq_lane_u64(vreinterpretq_u64_u8(both), 1);
        tie_bits = low & 0xffffffffffff;
        odd_bits = low >> 48 | (high & 0xffffffff) << 16;
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

constexpr KernelLevel level = make_level<Neon>("baseline", 0);

} // namespace pixtally::kernels::arm_neon
