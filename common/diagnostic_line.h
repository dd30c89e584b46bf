// The system's diagnostic lines: printf-style text on the C runtime's standard output, each
// message with its own line feed, no prefix and no flush.
#pragma once

#include <cstdarg>
#include <cstdio>

__attribute__((format(printf, 1, 2))) inline void diagnostic_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}
