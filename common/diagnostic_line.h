// The system's diagnostic lines: printf-style text on the C runtime's standard output, each
// message with its own line feed, no prefix and no flush.
#pragma once

#include <cstdarg>
#include <cstdio>

// GCC and Clang check the arguments against the format; MSVC has no such attribute.
#if defined(__GNUC__) || defined(__clang__)
#define DIAGNOSTIC_LINE_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define DIAGNOSTIC_LINE_FORMAT
#endif

DIAGNOSTIC_LINE_FORMAT inline void diagnostic_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}
