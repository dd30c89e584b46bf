// The platform libraries' own complaints: one line on stderr when a device or a setting fails
// them, naming the device and the errno, once per cause (a camera that keeps failing does not
// fill the terminal). TRELVO_PLATFORM_LOG=off silences them. They are not the system's fixed
// diagnostic lines, which go to stdout.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace trelvo_platform {

constexpr char kLogVariable[] = "TRELVO_PLATFORM_LOG";

inline bool log_enabled() {
    const char* value = std::getenv(kLogVariable);
    return !value || (std::strcmp(value, "off") != 0 && std::strcmp(value, "0") != 0);
}

// "<library>: <message>: <errno text> (errno N)", without the errno part when err is 0. The
// message names the device or setting. Returns whether the line was written.
inline bool log_once(const char* library, const std::string& message, int err) {
    if (!log_enabled()) return false;
    std::string line = std::string(library) + ": " + message;
    if (err != 0) {
        char text[128];
        // The GNU strerror_r may return a static text instead of filling the buffer.
        const char* described = strerror_r(err, text, sizeof text);
        line += ": " + std::string(described) + " (errno " + std::to_string(err) + ")";
    }
    line += "\n";
    // Each library keeps its own causes, bounded so that ever new names cannot grow them. Leaked on
    // purpose: a capture thread may still fail while the process exits.
    struct Seen {
        std::mutex mutex;
        std::set<std::string> lines;
    };
    static Seen* seen = new Seen();
    constexpr std::size_t kMaxCauses = 256;
    {
        std::lock_guard<std::mutex> lock(seen->mutex);
        if (seen->lines.size() >= kMaxCauses || !seen->lines.insert(line).second) return false;
    }
    std::fputs(line.c_str(), stderr);
    return true;
}

}  // namespace trelvo_platform
