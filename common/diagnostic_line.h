// The system's diagnostic lines: printf-style text on the C runtime's standard output, each
// message with its own line feed, no prefix and no flush. Each line is also kept in a small
// in-process ring, so that the module's Python layer can read the lines without touching the
// process's file descriptors.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

// GCC and Clang check the arguments against the format; MSVC has no such attribute.
#if defined(__GNUC__) || defined(__clang__)
#define DIAGNOSTIC_LINE_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define DIAGNOSTIC_LINE_FORMAT
#endif

// The last kCapacity lines, each numbered from 0 in the order written and cut to kLineBytes - 1
// bytes. Writers and readers on any thread; a reader keeps its own next number and learns
// from `read` when the lines it wanted were overwritten.
class DiagnosticRing {
public:
    static constexpr std::size_t kCapacity = 64;
    static constexpr std::size_t kLineBytes = 160;
    static constexpr int kGone = -1;     // written, but overwritten since
    static constexpr int kNotYet = -2;   // not written yet

    void append(const char* text);
    // The number the next line will get.
    std::uint64_t next() const;
    // Copies line `number` (NUL-terminated, cut to `capacity` - 1 bytes) and returns its length
    // before cutting, or kGone / kNotYet.
    int read(std::uint64_t number, char* out, std::size_t capacity) const;

private:
    mutable std::mutex mutex_;
    std::uint64_t next_ = 0;
    char lines_[kCapacity][kLineBytes] = {};
};

// The one ring of the process's copy of the system.
DiagnosticRing& diagnostic_ring();

// Formats a line into the ring (the standard output is written by the caller).
void diagnostic_ring_record(const char* format, va_list args);

DIAGNOSTIC_LINE_FORMAT inline void diagnostic_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list for_ring;
    va_copy(for_ring, args);
    std::vprintf(format, args);
    diagnostic_ring_record(format, for_ring);
    va_end(for_ring);
    va_end(args);
}
