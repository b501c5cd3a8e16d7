// The loops every level runs, written once on the level's operations V.
// Each level's file includes this file inside its own anonymous namespace
// and instantiates the loops there with make_level, so every copy is built
// for that level's instructions alone, and no copy built for one level can
// stand in for another's when the program is linked (tests/level_symbols
// checks the objects for it). The files below include nothing themselves:
// level.h brings every header they use.
//
// A level's file, in order: its instruction set's header and level.h; then,
// in namespace pixtally::kernels::<file name> { namespace { ... } }, this
// file and its operations, Ops; last, its entry:
//
//   constexpr KernelLevel level = make_level<Ops>("name", cpu_... needs);
// In this order: each file uses those before it.
// clang-format off
#include "level_ops.h"     // what a level provides: the concept and its flags
#include "lanes.h"         // blocks, lanes, and folding lanes into channels
#include "narrow_loop.h"   // 8-bit rows, squares summed exactly
#include "quotient_sums.h" // the sums of d, for 16-bit runs
#include "tie_scan.h"      // the scan of the ties, on plain 64-bit words
#include "step_flags.h"    // a step's tie and odd-d flags, from its samples
#include "run_loop.h"      // the passes over a 16-bit run, and its kinds
#include "level_entry.h"   // make_level: the entry, its flags and probes
// clang-format on
