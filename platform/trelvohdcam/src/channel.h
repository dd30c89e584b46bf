// Internal: the writing side of the shared-memory channel and the pieces of
// the seqlock that the writer and the reader share.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sys.h"
#include "trelvohdcam_channel.h"

namespace trelvohdcam {

// The channel name a camera created now would use; empty if invalid.
std::string channel_name_from_environment();
bool valid_channel_name(const std::string& name);
// Where the named object shows in the file system, for messages.
std::string channel_path(const std::string& name);

// Why an object found under a channel name must not carry this user's pictures ("is a FIFO, not
// a regular file", "belongs to user 1001", "has mode 0644, not 0600"), or empty if it may. Another
// user's object could be read, or written, by that user; a non-regular one could block or fault.
std::string untrusted_object(const struct stat& st, bool check_mode);

uint64_t monotonic_ns();

// The writer: a seqlock left odd by a writer that died mid-picture (or by a camera of another
// process still finishing its last one) is taken regardless after this long; the clock is first
// read after this many attempts, so an uncontended lock costs no clock reads.
constexpr std::chrono::milliseconds kWriterGiveUp{50};
constexpr unsigned kWriterSpinsBeforeClock = 64;

// The reader: how often a wait looks again for a new picture; how many torn copies past the
// deadline it tolerates before reporting a time-out, so that a steady stream is not one; and the
// largest picture size it believes, so that a damaged header cannot ask for a huge mapping.
constexpr std::chrono::microseconds kReaderPoll{500};
constexpr unsigned kReaderTornRetries = 1000;
constexpr uint64_t kReaderMaxFrameBytes = 1ull << 40;

class ChannelWriter {
public:
    // Creates the named object (mode 0600, this user's only) or reuses one of this user's, reserves
    // its memory, and takes it over with a fresh layout. nullptr if shared memory is unavailable,
    // and then *refused (if given) tells whether it was refused for a reason the user must act on:
    // an object there that is not this user's private file, or no room for the picture. The reason
    // has been logged as one line.
    // `loopback` names the device that also shows the pictures (may be empty).
    static std::unique_ptr<ChannelWriter> open(const std::string& name, int width, int height,
                                               int type, float fps, std::size_t frame_size,
                                               uint64_t owner, const std::string& loopback = {},
                                               bool* refused = nullptr);
    ~ChannelWriter();

    // Publishes one picture. False once another camera owns the channel or the object shrank
    // below the picture (then it is treated as closed); nothing is written then.
    bool write(const void* picture);
    // Marks the channel closed (if still ours) and unmaps.
    void close();
    // Unmaps without touching the channel: another camera takes it over.
    void detach();

private:
    ChannelWriter() = default;
    // Whether the object still covers the mapping; detaches when it does not.
    bool intact();
    trelvohdcam_channel_header* header() const {
        return reinterpret_cast<trelvohdcam_channel_header*>(map_.data());
    }

    Sys sys_{};
    Fd fd_;
    Mapping map_;
    std::size_t frame_size_ = 0;
    std::string name_;
    uint64_t owner_ = 0;
    uint64_t frames_ = 0;
};

// Inside the seqlock the writer stores every field and picture word with
// release and the reader loads them with acquire: a reader that sees any word
// of a newer picture then also sees the odd sequence that preceded it when it
// loads the sequence again, and discards its copy. On x86 these are plain
// moves; unlike fences, the thread sanitizer models them.
void copy_to_shared(unsigned char* shared, const unsigned char* src, std::size_t n);
void copy_from_shared(unsigned char* dst, const unsigned char* shared, std::size_t n);

template <typename T>
inline T load_relaxed(const T* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
template <typename T>
inline T load_acquire(const T* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
template <typename T>
inline void store_release(T* p, T v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
inline float load_float(const float* p) {
    uint32_t bits = __atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_ACQUIRE);
    float f;
    __builtin_memcpy(&f, &bits, sizeof f);
    return f;
}
inline void store_float(float* p, float v) {
    uint32_t bits;
    __builtin_memcpy(&bits, &v, sizeof bits);
    __atomic_store_n(reinterpret_cast<uint32_t*>(p), bits, __ATOMIC_RELEASE);
}

}  // namespace trelvohdcam
