#include "messages.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *banner =
    "pixtally v0.1, per-channel statistics of Netpbm images, built on libnetpbm";

constexpr const char *help_lines[] = {
    "-f file  ppm-file to analyse",
    "-v       be even more verbose (multiple (max 3) for more details)",
    "-V       print version and exit",
    "-h       this help",
};

constexpr std::size_t fatal_message_size = 4096;

} // namespace

void print_banner() {
    std::printf("%s\n\n", banner);
}

void print_help() {
    print_banner();
    for (const char *line : help_lines)
        std::printf("%s\n", line);
}

void die_with_errno(const char *format, ...) {
    // Formatting may itself set errno; the number reported is the one the
    // caller saw.
    const int error = errno;

    char message[fatal_message_size];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);

    std::fprintf(stderr, "%s: errno=%d (%s)\n", message, error, std::strerror(error));
    std::exit(EXIT_FAILURE);
}
