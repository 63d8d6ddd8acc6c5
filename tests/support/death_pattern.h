// Test support: pieces of death-test patterns that mean the same to both of GoogleTest's
// regular expression engines, POSIX extended on Linux and its own simple one on Windows
// (no brackets, groups or alternatives; "\d" for a digit, "." never matches a line end).
#pragma once

#ifdef _WIN32
#define UMBRA_RE_DIGITS "\\d+"
// Any text, across the line end between two messages.
#define UMBRA_RE_NEXT_LINE "\\s*.*"
// The CR of a line end: GoogleTest on Windows reads a dead child's output as text, which
// takes the CR away.
#define UMBRA_RE_CR ""
#else
#define UMBRA_RE_DIGITS "[0-9]+"
#define UMBRA_RE_NEXT_LINE "(.|\n)*"
#define UMBRA_RE_CR "\r"
#endif
