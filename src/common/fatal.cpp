#include "fatal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t fatal_message_size = 4096;

} // namespace

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
