#include "pipeline/frame_decoder.h"

#include "capture/video_capture.h"
#include "pipeline/bgr24_picture.h"
#include "pipeline/frame_queue.h"
#include "pipeline/mjpeg_decoder.h"
#include "pipeline/uncompressed_conversion.h"

#include <mfapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>

namespace {

bool convert_sample(PyVideoCapture& session, const uint8_t* data, uint32_t length, uint32_t max_length,
                    const PictureTarget& target) {
    if (session.subtype == MFVideoFormat_MJPG) {
        return session.mjpeg_decoder != nullptr && decode_mjpeg(*session.mjpeg_decoder, data, length, target);
    }
    return convert_uncompressed(session.raw_converter, session.subtype, data, length, max_length, target);
}

}  // namespace

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
    // A size the 32-bit calls cannot take gets no buffer; the converters refuse it without one.
    QueuedFrame frame;
    if (rgb24_picture_size(session.width, session.height) > 0) {
        frame = take_frame_buffer(session, session.width, session.height);
    }
    const PictureTarget target{frame.data, session.width, session.height, frame.stride};
    const bool converted = convert_sample(session, data, length, max_length, target);
    buffer->Unlock();
    if (converted) {
        queue_frame(session, frame);
    } else {
        recycle_frame(session, frame);
    }
}
