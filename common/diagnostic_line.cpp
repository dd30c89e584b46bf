#include "common/diagnostic_line.h"

#include <cstring>

void DiagnosticRing::append(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    char* slot = lines_[next_ % kCapacity];
    std::size_t length = std::strlen(text);
    if (length >= kLineBytes) length = kLineBytes - 1;
    std::memcpy(slot, text, length);
    slot[length] = '\0';
    ++next_;
}

std::uint64_t DiagnosticRing::next() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return next_;
}

int DiagnosticRing::read(std::uint64_t number, char* out, std::size_t capacity) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (number >= next_) return kNotYet;
    if (next_ - number > kCapacity) return kGone;
    const char* slot = lines_[number % kCapacity];
    std::size_t length = std::strlen(slot);
    if (out != nullptr && capacity > 0) {
        std::size_t copied = length < capacity ? length : capacity - 1;
        std::memcpy(out, slot, copied);
        out[copied] = '\0';
    }
    return static_cast<int>(length);
}

DiagnosticRing& diagnostic_ring() {
    static DiagnosticRing ring;
    return ring;
}

void diagnostic_ring_record(const char* format, va_list args) {
    char line[DiagnosticRing::kLineBytes];
    int written = std::vsnprintf(line, sizeof line, format, args);
    if (written < 0) return;
    diagnostic_ring().append(line);
}

// Read through ctypes by the Python layer (the module exports these two besides its init).
#if defined(__linux__)
#define DIAGNOSTIC_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define DIAGNOSTIC_EXPORT extern "C"
#endif

DIAGNOSTIC_EXPORT std::uint64_t trelvo_diagnostic_next(void) { return diagnostic_ring().next(); }

DIAGNOSTIC_EXPORT int trelvo_diagnostic_read(std::uint64_t number, char* out, std::size_t capacity) {
    return diagnostic_ring().read(number, out, capacity);
}
