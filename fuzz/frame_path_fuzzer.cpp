// Feeds arbitrary camera samples through the frame path on a fresh session per input:
// process_sample for every subtype, size and buffer split, then each queued picture through the
// RGB24 check the output worker makes and through convert_to_yuy2.
//
// Input: an 8-byte header, then the sample's bytes.
//   [0]     subtype: MJPG, NV12, YUY2, I420, RGB24, P010, or one the pipeline does not take
//   [1..2]  width, [3..4] height (little endian, folded into a small range)
//   [5]     bits 0-1: buffers - 1; bits 2-3: spare capacity after each buffer (none, a little,
//           256 bytes, a page); bits 4-5: output type; bit 6: MJPEG size taken from the JPEG's
//           own frame header; bit 7: the sample is processed twice (reused decoder or scaler)
//   [6..7]  where the bytes are split between the buffers
#include "capture/video_capture.h"
#include "pipeline/frame_decoder.h"
#include "pipeline/frame_queue.h"
#include "pipeline/output_worker.h"

#include <mfapi.h>
#include <wrl/client.h>

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using Microsoft::WRL::ComPtr;

namespace {

constexpr size_t kHeaderBytes = 8;

GUID subtype_at(uint8_t selector) {
    switch (selector % 7) {
        case 0: return MFVideoFormat_MJPG;
        case 1: return MFVideoFormat_NV12;
        case 2: return MFVideoFormat_YUY2;
        case 3: return MFVideoFormat_I420;
        case 4: return MFVideoFormat_RGB24;
        case 5: return MFVideoFormat_P010;
        default: {
            GUID other = MFVideoFormat_NV12;
            other.Data1 = 0x34363248;  // 'H264'
            return other;
        }
    }
}

// The first baseline/extended/progressive/lossless frame header's size, found by a plain byte
// search (independent of the pipeline's own parser); false when there is none.
bool jpeg_size(const uint8_t* data, size_t size, int32_t& width, int32_t& height) {
    for (size_t i = 0; i + 9 <= size; ++i) {
        if (data[i] == 0xFF && data[i + 1] >= 0xC0 && data[i + 1] <= 0xC3) {
            height = (data[i + 5] << 8) | data[i + 6];
            width = (data[i + 7] << 8) | data[i + 8];
            return true;
        }
    }
    return false;
}

ComPtr<IMFMediaBuffer> make_buffer(const uint8_t* bytes, size_t size, size_t spare) {
    ComPtr<IMFMediaBuffer> buffer;
    const size_t capacity = size + spare == 0 ? 1 : size + spare;
    if (FAILED(MFCreateMemoryBuffer(static_cast<DWORD>(capacity), buffer.GetAddressOf()))) return nullptr;
    BYTE* data = nullptr;
    if (FAILED(buffer->Lock(&data, nullptr, nullptr))) return nullptr;
    if (size != 0) std::memcpy(data, bytes, size);
    buffer->Unlock();
    buffer->SetCurrentLength(static_cast<DWORD>(size));
    return buffer;
}

uint8_t touch(const QueuedFrame& frame) {
    // Reads every byte the record claims, so that a short copy shows up under ASan.
    uint8_t sum = 0;
    const size_t bytes = static_cast<size_t>(frame.height) * static_cast<size_t>(frame.stride);
    for (size_t i = 0; i < bytes; ++i) sum = static_cast<uint8_t>(sum + frame.data[i]);
    return sum;
}

// A JPEG whose frame header declares another size than the session's must never reach the
// decoder, whose size check would complain on stderr for every such sample. (This process-wide
// hook belongs to the fuzzer; the module itself never installs one.)
void fail_on_size_complaint(void* context, int level, const char* format, va_list arguments) {
    va_list copy;
    va_copy(copy, arguments);
    char line[512];
    std::vsnprintf(line, sizeof(line), format, copy);
    va_end(copy);
    av_log_default_callback(context, level, format, arguments);
    if (std::strstr(line, "Picture size") != nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_callback(fail_on_size_complaint);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    if (size < kHeaderBytes) return 0;
    const uint8_t* header = input;
    const uint8_t* payload = input + kHeaderBytes;
    const size_t payload_size = size - kHeaderBytes;

    PyVideoCapture session;
    session.subtype = subtype_at(header[0]);
    const bool mjpeg = session.subtype == MFVideoFormat_MJPG;
    session.width = 1 + ((header[1] | header[2] << 8) % (mjpeg ? 1024 : 640));
    session.height = 1 + ((header[3] | header[4] << 8) % (mjpeg ? 768 : 480));
    const uint8_t flags = header[5];
    if (mjpeg && (flags & 0x40) != 0) {
        int32_t w = 0;
        int32_t h = 0;
        // Sizes the decoder would take but far beyond a camera's are left to the header's fold.
        if (jpeg_size(payload, payload_size, w, h) && w > 0 && h > 0 && w <= 4096 && h <= 4096) {
            session.width = w;
            session.height = h;
        }
    }
    session.type = (flags >> 4) & 0x3;

    const int buffers = 1 + (flags & 0x3);
    static constexpr size_t kSpare[] = {0, 17, 256, 4096};
    const size_t spare = kSpare[(flags >> 2) & 0x3];
    const unsigned split_seed = header[6] | header[7] << 8;

    ComPtr<IMFSample> sample;
    if (FAILED(MFCreateSample(sample.GetAddressOf()))) return 0;
    size_t offset = 0;
    for (int i = 0; i < buffers; ++i) {
        size_t piece = payload_size - offset;
        if (i + 1 < buffers && piece != 0) {
            piece = (split_seed * static_cast<size_t>(i + 7)) % (piece + 1);
        }
        ComPtr<IMFMediaBuffer> buffer = make_buffer(payload + offset, piece, spare);
        if (!buffer) return 0;
        sample->AddBuffer(buffer.Get());
        offset += piece;
    }

    const int passes = (flags & 0x80) != 0 ? 2 : 1;
    volatile uint8_t sink = 0;
    for (int pass = 0; pass < passes; ++pass) {
        process_sample(session, sample.Get());
        while (auto frame = pop_frame(session)) {
            sink = static_cast<uint8_t>(sink + touch(*frame));
            // What the output worker sends for type 0: the picture as width x height x 3 bytes.
            if (frame->stride == frame->width * 3 && frame->width != session.width) std::abort();
            QueuedFrame yuy2;
            if (convert_to_yuy2(*frame, yuy2) == 0) {
                sink = static_cast<uint8_t>(sink + touch(yuy2));
                std::free(yuy2.data);
            }
            std::free(frame->data);
        }
    }
    (void)sink;
    return 0;
}
