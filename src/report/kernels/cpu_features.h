// What the processor offers the levels above its architecture's baseline,
// read from the processor itself.
#pragma once

#include <cstdint>

namespace pixtally::kernels {

// The CpuFeature bits (level.h) this processor and its system provide; none
// on architectures whose levels need nothing.
std::uint32_t processor_features();

} // namespace pixtally::kernels
