// The x86-64 baseline: SSE2, which every x86-64 processor has.
#include "level.h"

#include <smmintrin.h>

namespace pixtally::kernels::x86_sse2 {

namespace {

#include "loops.h"
#include "x86_128.h"

} // namespace

constexpr KernelLevel level = make_level<X86x128<false>>("baseline", 0);

} // namespace pixtally::kernels::x86_sse2
