#include "pipeline/output_worker.h"

#include "capture/video_capture.h"
#include "pipeline/stage_probes.h"
#include "pipeline/virtual_camera_holder.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from.h>
#include <trelvohdcam.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int64_t kMaxInt32 = (std::numeric_limits<int32_t>::max)();
constexpr int64_t kAlignment = 64;

int64_t round_up(int64_t value) { return (value + kAlignment - 1) / kAlignment * kAlignment; }

// Where the I420 planes and the YUY2 picture of one size live. Odd sizes: the chroma planes hold
// the rounded-up chroma, (width + 1) / 2 by (height + 1) / 2, which is what libyuv reads and
// writes. The YUY2 stride stays width x 2, the layout the library expects; libyuv still writes a
// whole Y U Y V group for the last odd pixel of every row, so those two extra bytes land at the
// start of the next row (which overwrites them afterwards) and, on the last row, in a tail kept
// for that purpose. Plane strides are whole multiples of 64 bytes.
struct Yuy2Layout {
    int64_t luma_stride = 0;
    int64_t chroma_stride = 0;
    int64_t chroma_height = 0;
    int64_t planes_bytes = 0;
    int64_t yuy2_stride = 0;
    int64_t yuy2_bytes = 0;

    // False for sources the conversion cannot take.
    bool plan(const QueuedFrame& source) {
        if (source.data == nullptr || source.width <= 0 || source.height <= 0) {
            return false;
        }
        const int64_t width = source.width;
        const int64_t height = source.height;
        // RGB24ToI420 reads width x 3 bytes of every source row.
        if (static_cast<int64_t>(source.stride) < width * 3 || width * 2 > kMaxInt32) {
            return false;
        }
        luma_stride = round_up(width);
        chroma_stride = round_up((width + 1) / 2);
        chroma_height = (height + 1) / 2;
        planes_bytes = luma_stride * height + 2 * chroma_stride * chroma_height;
        yuy2_stride = width * 2;
        yuy2_bytes = round_up((height - 1) * yuy2_stride + (width + 1) / 2 * 4);
        return luma_stride <= kMaxInt32 &&
               static_cast<uint64_t>(planes_bytes) <= (std::numeric_limits<size_t>::max)() / 2 &&
               static_cast<uint64_t>(yuy2_bytes) <= (std::numeric_limits<size_t>::max)() / 2;
    }

    int convert(const QueuedFrame& source, uint8_t* planes, uint8_t* yuy2) const {
        uint8_t* y_plane = planes;
        uint8_t* u_plane = y_plane + luma_stride * source.height;
        uint8_t* v_plane = u_plane + chroma_stride * chroma_height;
        const int ys = static_cast<int>(luma_stride);
        const int cs = static_cast<int>(chroma_stride);
        int status = libyuv::RGB24ToI420(source.data, source.stride, y_plane, ys, u_plane, cs, v_plane, cs,
                                         source.width, source.height);
        if (status == 0) {
            status = libyuv::I420ToYUY2(y_plane, ys, u_plane, cs, v_plane, cs, yuy2, static_cast<int>(yuy2_stride),
                                        source.width, source.height);
        }
        return status;
    }
};

// Zero-filled and freed with free().
uint8_t* allocate_zeroed(int64_t bytes) {
    auto* buffer = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bytes)));
    if (buffer != nullptr) {
        std::memset(buffer, 0, static_cast<size_t>(bytes));
    }
    return buffer;
}

void send_rgb24(uint64_t token, const QueuedFrame& frame) {
    // The library reads width x height x 3 packed bytes; a picture laid out otherwise is dropped.
    if (static_cast<int64_t>(frame.stride) == static_cast<int64_t>(frame.width) * 3) {
        VirtualCameraHolder::instance().send_frame(token, frame.data, frame.width, frame.height,
                                                   TRELVOHDCAM_TYPE_RGB24);
    }
}

void send_yuy2(uint64_t token, const QueuedFrame& frame, Yuy2Converter& converter) {
    QueuedFrame converted;
    if (converter.convert(frame, converted) == 0) {
        VirtualCameraHolder::instance().send_frame(token, converted.data, converted.width, converted.height,
                                                   TRELVOHDCAM_TYPE_YUY2);
    }
}

}  // namespace

int output_loop(PyVideoCapture& session) try {
    Yuy2Converter converter;
    while (session.running.load()) {
        std::optional<QueuedFrame> frame = wait_frame(session);
        if (!frame) {
            continue;
        }
        // Nothing thrown on the way may end the host process: the picture is dropped instead.
        try {
            const uint64_t token = session.camera_token.load();
            switch (session.type) {
                case TRELVOHDCAM_TYPE_RGB24:
                    send_rgb24(token, *frame);
                    break;
                case TRELVOHDCAM_TYPE_YUY2:
                    send_yuy2(token, *frame, converter);
                    break;
                default:
                    break;
            }
        } catch (...) {
        }
        recycle_frame(session, *frame);
    }
    return 0;
} catch (...) {
    // The thread's entry: an exception must not reach std::terminate in the host process.
    return -1;
}

int convert_to_yuy2(const QueuedFrame& source, QueuedFrame& result) {
    Yuy2Layout layout;
    if (!layout.plan(source)) {
        return -1;
    }
    TRELVO_STAGE_PROBE(PipelineStage::yuy2_conversion);
    uint8_t* yuy2 = allocate_zeroed(layout.yuy2_bytes);
    if (yuy2 == nullptr) {
        return -1;
    }
    uint8_t* planes = allocate_zeroed(layout.planes_bytes);
    if (planes == nullptr) {
        std::free(yuy2);
        return -1;
    }
    const int status = layout.convert(source, planes, yuy2);
    std::free(planes);
    if (status != 0) {
        std::free(yuy2);
        return -1;
    }
    result.data = yuy2;
    result.width = source.width;
    result.height = source.height;
    result.stride = static_cast<int32_t>(layout.yuy2_stride);
    return 0;
}

Yuy2Converter::~Yuy2Converter() { release(); }

void Yuy2Converter::release() {
    std::free(planes_);
    std::free(yuy2_);
    planes_ = nullptr;
    yuy2_ = nullptr;
    width_ = 0;
    height_ = 0;
}

int Yuy2Converter::convert(const QueuedFrame& source, QueuedFrame& result) {
    Yuy2Layout layout;
    if (!layout.plan(source)) {
        return -1;
    }
    TRELVO_STAGE_PROBE(PipelineStage::yuy2_conversion);
    if (source.width != width_ || source.height != height_) {
        release();
        planes_ = allocate_zeroed(layout.planes_bytes);
        yuy2_ = allocate_zeroed(layout.yuy2_bytes);
        if (planes_ == nullptr || yuy2_ == nullptr) {
            release();
            return -1;
        }
        width_ = source.width;
        height_ = source.height;
    }
    if (layout.convert(source, planes_, yuy2_) != 0) {
        return -1;
    }
    result.data = yuy2_;
    result.width = source.width;
    result.height = source.height;
    result.stride = static_cast<int32_t>(layout.yuy2_stride);
    return 0;
}
