#include "messages.h"

#include <cstdio>

namespace {

constexpr const char *banner =
    "pixtally v0.1, per-channel statistics of Netpbm images, built on libnetpbm";

constexpr const char *help_lines[] = {
    "-f file  ppm-file to analyse",
    "-v       be even more verbose (multiple (max 3) for more details)",
    "-V       print version and exit",
    "-h       this help",
};

} // namespace

void print_banner() {
    std::printf("%s\n\n", banner);
}

void print_help() {
    print_banner();
    for (const char *line : help_lines)
        std::printf("%s\n", line);
}
