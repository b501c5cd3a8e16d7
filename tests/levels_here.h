// The levels of the row kernels that this machine runs, for the checks that
// run at each.
#pragma once

#include "kernels.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline std::vector<const pixtally::kernels::KernelLevel *> levels_here() {
    std::vector<const pixtally::kernels::KernelLevel *> levels;
    for (const pixtally::kernels::KernelLevel *level : pixtally::kernels::levels_built())
        if (pixtally::kernels::runs_here(*level))
            levels.push_back(level);
    return levels;
}

// A level's name as a test's: sse4.1 becomes sse41.
inline std::string
level_test_name(const testing::TestParamInfo<const pixtally::kernels::KernelLevel *> &info) {
    std::string name = pixtally::kernels::level_name(*info.param);
    std::erase(name, '.');
    return name;
}
