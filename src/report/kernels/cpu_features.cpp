// The processor's features, read with the processor's own instructions
// (cpuid, and xgetbv for the registers the system saves), so that choosing a
// level needs nothing from the compiler's runtime or the loader, on any
// system. This file is built for the baseline, like everything outside the
// level files.
#include "cpu_features.h"

#include "level.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <cpuid.h>
#endif

namespace pixtally::kernels {

#if defined(__x86_64__) || defined(_M_X64)

namespace {

// cpuid leaf 1, ecx; leaf 7, ebx; xgetbv 0, eax.
constexpr unsigned sse41_bit = 1u << 19, popcnt_bit = 1u << 23, osxsave_bit = 1u << 27,
                   avx_bit = 1u << 28;
constexpr unsigned bmi1_bit = 1u << 3, avx2_bit = 1u << 5;
constexpr unsigned xmm_and_ymm_saved = 0x6;

// The system's enabled register state; only where the processor says that
// xgetbv may be used (osxsave).
unsigned saved_registers() {
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}

} // namespace

std::uint32_t processor_features() {
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0)
        return 0;
    std::uint32_t features = 0;
    if ((ecx & sse41_bit) != 0)
        features |= cpu_sse41;
    if ((ecx & popcnt_bit) != 0)
        features |= cpu_popcnt;
    const bool ymm_saved = (ecx & osxsave_bit) != 0 && (ecx & avx_bit) != 0 &&
                           (saved_registers() & xmm_and_ymm_saved) == xmm_and_ymm_saved;
    unsigned leaf7_ebx = 0;
    if (__get_cpuid_count(7, 0, &eax, &leaf7_ebx, &ecx, &edx) == 0)
        leaf7_ebx = 0;
    if ((leaf7_ebx & bmi1_bit) != 0)
        features |= cpu_bmi1;
    if (ymm_saved && (leaf7_ebx & avx2_bit) != 0)
        features |= cpu_avx2;
    return features;
}

#else

std::uint32_t processor_features() {
    return 0;
}

#endif

} // namespace pixtally::kernels
