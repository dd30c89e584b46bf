// Helpers shared by the pipeline tests: samples built through the media platform, queue access.
#pragma once

#include "capture/video_capture.h"
#include "pipeline/frame_queue.h"

#include <mfapi.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace pipeline_test {

// A sample of one memory buffer holding `bytes`; `capacity` beyond the bytes stays unused.
inline Microsoft::WRL::ComPtr<IMFSample> make_sample(const std::vector<uint8_t>& bytes, size_t capacity = 0) {
    if (capacity < bytes.size()) capacity = bytes.size();
    if (capacity == 0) capacity = 1;
    Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
    EXPECT_TRUE(SUCCEEDED(MFCreateMemoryBuffer(static_cast<DWORD>(capacity), buffer.GetAddressOf())));
    if (!buffer) return nullptr;
    BYTE* data = nullptr;
    DWORD max_length = 0;
    DWORD current = 0;
    EXPECT_TRUE(SUCCEEDED(buffer->Lock(&data, &max_length, &current)));
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    buffer->Unlock();
    EXPECT_TRUE(SUCCEEDED(buffer->SetCurrentLength(static_cast<DWORD>(bytes.size()))));
    Microsoft::WRL::ComPtr<IMFSample> sample;
    EXPECT_TRUE(SUCCEEDED(MFCreateSample(sample.GetAddressOf())));
    if (!sample) return nullptr;
    EXPECT_TRUE(SUCCEEDED(sample->AddBuffer(buffer.Get())));
    return sample;
}

// Takes every queued picture out, oldest first, as owned byte vectors.
struct TakenFrame {
    std::vector<uint8_t> bytes;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
};

inline std::vector<TakenFrame> take_all(PyVideoCapture& session) {
    std::vector<TakenFrame> taken;
    while (auto frame = pop_frame(session)) {
        TakenFrame copy;
        copy.width = frame->width;
        copy.height = frame->height;
        copy.stride = frame->stride;
        const size_t bytes = static_cast<size_t>(frame->height) * static_cast<size_t>(frame->stride);
        copy.bytes.assign(frame->data, frame->data + bytes);
        std::free(frame->data);
        taken.push_back(std::move(copy));
    }
    return taken;
}

inline uint8_t clamp_byte(double value) {
    if (value < 0.0) return 0;
    if (value > 255.0) return 255;
    return static_cast<uint8_t>(value + 0.5);
}

}  // namespace pipeline_test
