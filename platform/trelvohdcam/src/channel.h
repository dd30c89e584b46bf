// Internal: the writing side of the shared-memory channel and the pieces of
// the seqlock that the writer and the reader share.
#pragma once

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

uint64_t monotonic_ns();

class ChannelWriter {
public:
    // Creates or reuses the named object, grows it to fit, and takes it
    // over with a fresh layout. nullptr if shared memory is unavailable.
    // `loopback` names the device that also shows the pictures (may be empty).
    static std::unique_ptr<ChannelWriter> open(const std::string& name, int width, int height,
                                               int type, float fps, std::size_t frame_size,
                                               uint64_t owner, const std::string& loopback = {});
    ~ChannelWriter();

    // Publishes one picture. False once another camera owns the channel;
    // nothing is written then.
    bool write(const void* picture);
    // Marks the channel closed (if still ours) and unmaps.
    void close();
    // Unmaps without touching the channel: another camera takes it over.
    void detach();

private:
    ChannelWriter() = default;
    trelvohdcam_channel_header* header() const {
        return reinterpret_cast<trelvohdcam_channel_header*>(map_.data());
    }

    Sys sys_{};
    Fd fd_;
    Mapping map_;
    std::size_t frame_size_ = 0;
    uint64_t owner_ = 0;
    uint64_t frames_ = 0;
};

// Word-wise relaxed atomic copies, so that a racing reader and writer are
// well defined (the seqlock discards what a race may have torn).
void copy_to_shared(unsigned char* shared, const unsigned char* src, std::size_t n);
void copy_from_shared(unsigned char* dst, const unsigned char* shared, std::size_t n);

template <typename T>
inline T load_relaxed(const T* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
template <typename T>
inline void store_relaxed(T* p, T v) {
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
inline float load_float(const float* p) {
    uint32_t bits = __atomic_load_n(reinterpret_cast<const uint32_t*>(p), __ATOMIC_RELAXED);
    float f;
    __builtin_memcpy(&f, &bits, sizeof f);
    return f;
}
inline void store_float(float* p, float v) {
    uint32_t bits;
    __builtin_memcpy(&bits, &v, sizeof bits);
    __atomic_store_n(reinterpret_cast<uint32_t*>(p), bits, __ATOMIC_RELAXED);
}

}  // namespace trelvohdcam
