// The x86-64 baseline: SSE2, which every x86-64 processor has.
#include "vector_loops.h"
#include "x86_128.h"

namespace pixtally::kernels {

const LevelKernels baseline_kernels = VectorLoops<X86x128<false>>::kernels;

} // namespace pixtally::kernels
