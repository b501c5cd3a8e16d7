// The SSE4.1 level (with POPCNT): 128-bit vectors with unsigned 32-bit min
// and max. Built with -msse4.1 -mpopcnt.
#include "vector_loops.h"
#include "x86_128.h"

namespace pixtally::kernels {

const LevelKernels sse41_kernels = VectorLoops<X86x128<true>>::kernels;

} // namespace pixtally::kernels
