// Helpers shared by the pipeline tests: samples built through the media platform, queue access.
#pragma once

#include "capture/video_capture.h"
#include "pipeline/frame_queue.h"

#include <mfapi.h>
#include <mfobjects.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
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

// A media buffer whose bytes end exactly where an inaccessible page begins: reading one byte past
// its length faults at once, whatever the sanitizer sees (FFmpeg and libyuv are not instrumented).
class GuardedBuffer final : public IMFMediaBuffer {
public:
    explicit GuardedBuffer(const std::vector<uint8_t>& bytes) : length_(bytes.size()) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        data_pages_ = (length_ + page - 1) / page;
        mapping_size_ = (data_pages_ + 1) * page;
        void* mapping = mmap(nullptr, mapping_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) return;
        mapping_ = static_cast<uint8_t*>(mapping);
        mprotect(mapping_ + data_pages_ * page, page, PROT_NONE);
        data_ = mapping_ + data_pages_ * page - length_;
        if (length_ != 0) std::memcpy(data_, bytes.data(), length_);
    }
    ~GuardedBuffer() {
        if (mapping_ != nullptr) munmap(mapping_, mapping_size_);
    }
    bool valid() const { return mapping_ != nullptr; }
    HRESULT QueryInterface(REFIID, void** object) override {
        if (object) *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++references_; }
    ULONG Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT Lock(BYTE** data, DWORD* max_length, DWORD* current_length) override {
        *data = data_;
        if (max_length) *max_length = static_cast<DWORD>(length_);
        if (current_length) *current_length = static_cast<DWORD>(length_);
        return S_OK;
    }
    HRESULT Unlock() override { return S_OK; }
    HRESULT GetCurrentLength(DWORD* length) override {
        *length = static_cast<DWORD>(length_);
        return S_OK;
    }
    HRESULT SetCurrentLength(DWORD) override { return E_NOTIMPL; }
    HRESULT GetMaxLength(DWORD* length) override {
        *length = static_cast<DWORD>(length_);
        return S_OK;
    }

private:
    std::atomic<ULONG> references_{1};
    size_t length_ = 0;
    size_t data_pages_ = 0;
    size_t mapping_size_ = 0;
    uint8_t* mapping_ = nullptr;
    uint8_t* data_ = nullptr;
};

// A sample of one guarded buffer holding exactly `bytes`.
inline Microsoft::WRL::ComPtr<IMFSample> make_guarded_sample(const std::vector<uint8_t>& bytes) {
    auto* buffer = new GuardedBuffer(bytes);
    Microsoft::WRL::ComPtr<IMFSample> sample;
    if (buffer->valid() && SUCCEEDED(MFCreateSample(sample.GetAddressOf()))) sample->AddBuffer(buffer);
    buffer->Release();
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

// Queues a copy of a width x height RGB24 picture whose rows are stride bytes apart, the way a
// converter does: a buffer from the queue, the rows written into it, the buffer queued.
inline void push_frame(PyVideoCapture& session, const uint8_t* data, int32_t width, int32_t height, int32_t stride) {
    QueuedFrame frame = take_frame_buffer(session, width, height);
    ASSERT_NE(frame.data, nullptr);
    for (int32_t row = 0; row < height; ++row) {
        std::memcpy(frame.data + static_cast<size_t>(row) * frame.stride, data + static_cast<size_t>(row) * stride,
                    static_cast<size_t>(width) * 3);
    }
    queue_frame(session, frame);
}
