// The camera backends behind the Media Foundation objects: every backend (simulated cameras,
// V4L2) presents its devices through these two classes, and the COM layer wraps them.
#pragma once

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mfcompat {

// One native media type as the device reports it. An attribute the device does not give stays absent.
struct NativeFormat {
    bool has_subtype = false;
    GUID subtype{};
    bool has_frame_size = false;
    uint32_t width = 0;
    uint32_t height = 0;
    bool has_frame_rate = false;
    uint32_t rate_numerator = 0;
    uint32_t rate_denominator = 0;
};

// What SetCurrentMediaType asked for; fields absent from the media type are zero.
struct RequestedFormat {
    GUID subtype{};
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t rate_numerator = 0;
    uint32_t rate_denominator = 0;
};

// Outcome of one synchronous read, in the terms of IMFSourceReader::ReadSample.
// Frame storage a stream reuses: the sample made from a read gives its bytes back here once
// released, so that a stream of one size allocates its frames once, not for every picture.
class FramePool {
public:
    // An empty vector able to hold `capacity` bytes without allocating.
    std::vector<uint8_t> take(size_t capacity) {
        std::vector<uint8_t> bytes;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (!spare_.empty()) {
                bytes = std::move(spare_.back());
                spare_.pop_back();
                if (bytes.capacity() >= capacity) break;
                bytes = std::vector<uint8_t>();  // of an earlier, smaller size
            }
        }
        bytes.clear();
        bytes.reserve(capacity);
        return bytes;
    }
    // Never allocates: room for the spares is reserved up front.
    void give_back(std::vector<uint8_t>&& bytes) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (spare_.size() < spare_.capacity()) spare_.push_back(std::move(bytes));
    }
    FramePool() { spare_.reserve(kMaxSpare); }

private:
    static constexpr size_t kMaxSpare = 4;
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> spare_;
};

struct ReadResult {
    HRESULT hr = S_OK;      // negative: the read failed
    DWORD stream_flags = 0;  // MF_SOURCE_READERF_*
    bool has_sample = false;
    std::vector<uint8_t> data;  // the sample's bytes when has_sample
    LONGLONG timestamp = 0;     // 100 ns units
    std::shared_ptr<FramePool> pool;  // where data goes back once its sample is released, if set
};

// A device streaming at one format. read() blocks until a frame, an error, or flush()/shutdown()
// from another thread. After flush() a waiting read returns a good read without a sample; after
// shutdown() every read fails with MF_E_SHUTDOWN.
class CameraStream {
public:
    virtual ~CameraStream() = default;
    virtual ReadResult read() = 0;
    virtual void flush() = 0;
    virtual void shutdown() = 0;
};

// One enumerated capture device. Shared between the activation object, the media source and the
// reader that come from it.
class CameraDevice {
public:
    virtual ~CameraDevice() = default;
    // false when the device has no such string (the attribute is then missing).
    virtual bool friendly_name(std::u16string* name) = 0;
    virtual bool symbolic_link(std::u16string* link) = 0;
    // Each step of opening may fail, as it can on Windows.
    virtual HRESULT activate() = 0;
    virtual HRESULT create_presentation_descriptor() = 0;
    virtual HRESULT create_reader() = 0;
    virtual std::vector<NativeFormat> native_formats() = 0;
    // Sets the current media type; on success *stream is the device streaming at that format.
    virtual HRESULT open_stream(const RequestedFormat& format, std::unique_ptr<CameraStream>* stream) = 0;
    // The media source was shut down.
    virtual void source_shutdown() {}
};

// The backends, in enumeration order: simulated cameras first, then V4L2.
std::vector<std::shared_ptr<CameraDevice>> simulated_devices();
std::vector<std::shared_ptr<CameraDevice>> v4l2_devices();

}  // namespace mfcompat
