// The tool's fixed texts and its one way of dying.
#pragma once

#include "fatal.h" // die_with_errno, and the texts it dies with

// Writes "pixtally v0.1, " and the credit line, then an empty line.
void print_banner();

// Writes the banner, an empty line and the four option lines.
void print_help();
