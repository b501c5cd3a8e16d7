// The tool's one way of dying, and the texts it dies with. Both the command
// line and the report use them.
#pragma once

constexpr const char *open_failed = "Failed to open file!\n";
constexpr const char *write_failed = "Failed to write output!\n";
constexpr const char *row_buffer_failed = "Failed to allocate row buffer!\n";

// Writes the formatted message, then ": errno=N (text)", to standard error
// and ends the process with status 1 through exit(), so buffered standard
// output is still written out.
[[noreturn]] void die_with_errno(const char *format, ...) __attribute__((format(printf, 1, 2)));
