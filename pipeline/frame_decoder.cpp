#include "pipeline/frame_decoder.h"

#include "capture/video_capture.h"

#include <mfapi.h>
#include <wrl/client.h>

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cstdint>

namespace {

// Row alignment of the BGR24 pictures that libswscale and libyuv write: what libavutil gives its
// own frames on every CPU it supports, so the widest vector stores stay inside the buffer.
constexpr int kPictureAlign = 64;

}  // namespace

int64_t rgb24_picture_size(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        return -1;
    }
    const int64_t bytes = static_cast<int64_t>(width) * height * 3;
    return bytes <= kMaxInt32 ? bytes : -1;
}

bool allocate_bgr24(AVFrame& frame, int32_t width, int32_t height) {
    frame.format = AV_PIX_FMT_BGR24;
    frame.width = width;
    frame.height = height;
    return av_frame_get_buffer(&frame, kPictureAlign) >= 0;
}

void process_sample(PyVideoCapture& session, IMFSample* sample) {
    std::lock_guard<std::mutex> decode_guard(session.decode_mutex);
    if (sample == nullptr) {
        return;
    }
    Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->ConvertToContiguousBuffer(buffer.GetAddressOf())) || !buffer) {
        return;
    }
    BYTE* data = nullptr;
    DWORD max_length = 0;
    DWORD current_length = 0;
    if (FAILED(buffer->Lock(&data, &max_length, &current_length))) {
        return;
    }
    // Never trust a current length beyond what the buffer holds.
    const uint32_t length = (std::min<uint32_t>)(current_length, max_length);
    if (session.subtype == MFVideoFormat_MJPG) {
        decode_mjpeg(session, data, length);
    } else {
        convert_uncompressed(session, data, length, max_length);
    }
    buffer->Unlock();
}
