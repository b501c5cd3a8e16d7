// The baseline on architectures without a level of their own: the
// compiler's own 128-bit vector code, which it builds for whatever vector
// unit the processor has, or none. Elsewhere the switch PIXTALLY_PORTABLE
// builds it too, below the baseline, so that it is tested.
#include "level.h"

namespace pixtally::kernels::portable {

namespace {

#include "loops.h"

struct Portable {
    static constexpr std::size_t lanes = 4;
    using vec = std::uint32_t __attribute__((vector_size(16)));
    static constexpr bool one_pass = false;
    static constexpr bool one_pass_whole = false;
    static constexpr std::size_t narrow_unroll = 1;
    static constexpr std::size_t scan_chunks = 1;
    static constexpr bool has_unit8_bits = false;
    static constexpr bool has_step_bits16 = false;
    static constexpr bool has_whole_squares = false;
    static constexpr bool has_d_sums = false;
    static constexpr bool has_met_counts = false;
    static constexpr bool counts_bits = false;

    static vec load(const std::uint32_t *p) {
        vec v;
        __builtin_memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(std::uint32_t *p, vec v) { __builtin_memcpy(p, &v, sizeof v); }
    static vec zero() { return vec{}; }
    static vec add(vec a, vec b) { return a + b; }
    static vec bit_and(vec a, vec b) { return a & b; }
    static vec and_not(vec mask, vec v) { return v & ~mask; }
    static vec equal(vec a, vec b) { return reinterpret_cast<vec>(a == b); }
    static vec splat(std::uint32_t x) { return vec{} + x; }
    static vec shift_right(vec v, int n) { return v >> n; }
    static std::uint32_t group_bits(vec a, vec b, vec c, vec d) {
        std::uint32_t bits = 0;
        const vec group[4] = {a, b, c, d};
        for (unsigned k = 0; k < 4; ++k)
            for (unsigned i = 0; i < lanes; ++i)
                bits |= (group[k][i] >> 31) << (lanes * k + i);
        return bits;
    }
    using vec16 = std::uint16_t __attribute__((vector_size(16)));
    static vec16 narrow16(vec a, vec b) {
        vec16 v;
        for (unsigned i = 0; i < lanes; ++i) {
            v[i] = static_cast<std::uint16_t>(a[i]);
            v[lanes + i] = static_cast<std::uint16_t>(b[i]);
        }
        return v;
    }
    static vec16 splat16(std::uint16_t x) { return vec16{} + x; }
    static vec16 mul16(vec16 a, vec16 b) { return a * b; }
    static vec16 add16(vec16 a, vec16 b) { return a + b; }
    static vec16 shift_left16(vec16 v, int n) { return v << n; }
    static vec16 test_bit16(vec16 v, int n) { return v << (15 - n); }
    static vec16 equal16(vec16 a, vec16 b) { return reinterpret_cast<vec16>(a == b); }
    static std::uint32_t group_bits16(vec16 a, vec16 b) {
        std::uint32_t bits = 0;
        for (unsigned i = 0; i < 2 * lanes; ++i)
            bits |= std::uint32_t{static_cast<std::uint16_t>(a[i] >> 15)} << i |
                    std::uint32_t{static_cast<std::uint16_t>(b[i] >> 15)} << (2 * lanes + i);
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

constexpr KernelLevel level = make_level<Portable>("portable", 0);

} // namespace pixtally::kernels::portable
