#include "pipeline/output_worker.h"

#include "capture/video_capture.h"
#include "pipeline/stage_probes.h"
#include "pipeline/virtual_camera_holder.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from.h>

#include <cstdlib>
#include <limits>
#include <thread>

namespace {

// (max)(): windows.h defines a max macro unless NOMINMAX is set.
constexpr int64_t kMaxInt32 = (std::numeric_limits<int32_t>::max)();

void send_rgb24(const QueuedFrame& frame) {
    // The library reads width x height x 3 packed bytes; a picture laid out otherwise is dropped.
    if (static_cast<int64_t>(frame.stride) == static_cast<int64_t>(frame.width) * 3) {
        VirtualCameraHolder::instance().send_frame(frame.data, frame.width, frame.height, 0);
    }
}

void send_yuy2(const QueuedFrame& frame) {
    QueuedFrame converted;
    if (convert_to_yuy2(frame, converted) == 0) {
        VirtualCameraHolder::instance().send_frame(converted.data, converted.width, converted.height, 1);
        std::free(converted.data);
    }
}

}  // namespace

int output_loop(PyVideoCapture& session) {
    while (session.running.load()) {
        if (!frames_waiting(session)) {
            std::this_thread::yield();
            continue;
        }
        std::optional<QueuedFrame> frame = pop_frame(session);
        if (!frame) {
            continue;
        }
        switch (session.type) {
            case 0:
                send_rgb24(*frame);
                break;
            case 1:
                send_yuy2(*frame);
                break;
            default:
                break;
        }
        std::free(frame->data);
    }
    return 0;
}

// Odd sizes: the chroma planes are sized for the rounded-up chroma, (width + 1) / 2 by
// (height + 1) / 2, which is what libyuv reads and writes. The YUY2 stride stays width x 2, the
// layout the library expects; libyuv still writes a whole Y U Y V group for the last odd pixel of
// every row, so those two extra bytes land at the start of the next row (which overwrites them
// afterwards) and, on the last row, in two bytes of tail allocated for that purpose.
int convert_to_yuy2(const QueuedFrame& source, QueuedFrame& result) {
    if (source.data == nullptr || source.width <= 0 || source.height <= 0) {
        return -1;
    }
    const int64_t width = source.width;
    const int64_t height = source.height;
    // RGB24ToI420 reads width x 3 bytes of every source row.
    if (static_cast<int64_t>(source.stride) < width * 3 || width * 2 > kMaxInt32) {
        return -1;
    }
    TRELVO_STAGE_PROBE(PipelineStage::yuy2_conversion);
    const int64_t chroma_width = (width + 1) / 2;
    const int64_t chroma_height = (height + 1) / 2;
    const int64_t yuy2_stride = width * 2;
    const int64_t yuy2_bytes = (height - 1) * yuy2_stride + chroma_width * 4;
    const int64_t luma_bytes = width * height;
    const int64_t chroma_bytes = chroma_width * chroma_height;
    const int64_t scratch_bytes = luma_bytes + 2 * chroma_bytes;
    if (static_cast<uint64_t>(yuy2_bytes) > (std::numeric_limits<size_t>::max)() ||
        static_cast<uint64_t>(scratch_bytes) > (std::numeric_limits<size_t>::max)()) {
        return -1;
    }

    auto* yuy2 = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(yuy2_bytes), 1));
    if (yuy2 == nullptr) {
        return -1;
    }
    auto* scratch = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(scratch_bytes), 1));
    if (scratch == nullptr) {
        std::free(yuy2);
        return -1;
    }
    uint8_t* y_plane = scratch;
    uint8_t* u_plane = scratch + luma_bytes;
    uint8_t* v_plane = u_plane + chroma_bytes;
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    const int cw = static_cast<int>(chroma_width);

    int status = libyuv::RGB24ToI420(source.data, source.stride, y_plane, w, u_plane, cw, v_plane, cw, w, h);
    if (status == 0) {
        status = libyuv::I420ToYUY2(y_plane, w, u_plane, cw, v_plane, cw, yuy2, static_cast<int>(yuy2_stride), w, h);
    }
    std::free(scratch);
    if (status != 0) {
        std::free(yuy2);
        return -1;
    }
    result.data = yuy2;
    result.width = source.width;
    result.height = source.height;
    result.stride = static_cast<int32_t>(yuy2_stride);
    return 0;
}
