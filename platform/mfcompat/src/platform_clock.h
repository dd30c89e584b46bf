// The platform's clock: real time, or faster when tests set a clock scale.
#pragma once

#include <chrono>
#include <cstdint>

namespace mfcompat {

// How long `milliseconds` of platform time last in real time.
std::chrono::nanoseconds real_duration(uint64_t milliseconds);

// Reads that deliver nothing for this long (platform time) fail with MFCOMPAT_E_TIMEOUT.
constexpr uint64_t kReadTimeoutMs = 5000;

}  // namespace mfcompat
