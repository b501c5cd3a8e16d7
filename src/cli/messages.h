// The tool's fixed texts and its one way of dying.
#pragma once

// Writes "pixtally v0.1, " and the credit line, then an empty line.
void print_banner();

// Writes the banner, an empty line and the four option lines.
void print_help();

// Writes the formatted message, then ": errno=N (text)", to standard error
// and ends the process with status 1 through exit(), so buffered standard
// output is still written out.
[[noreturn]] void die_with_errno(const char *format, ...) __attribute__((format(printf, 1, 2)));
