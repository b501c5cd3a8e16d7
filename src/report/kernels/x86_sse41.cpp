// The SSE4.1 level (with POPCNT): 128-bit vectors with unsigned 32-bit min
// and max, and 32-bit multiplies. Built with -msse4.1 -mpopcnt.
#include "level.h"

#include <smmintrin.h>

namespace pixtally::kernels::x86_sse41 {

namespace {

#include "loops.h"
#include "x86_128.h"

} // namespace

constexpr KernelLevel level = make_level<X86x128<true>>("sse4.1", cpu_sse41 | cpu_popcnt);

} // namespace pixtally::kernels::x86_sse41
