#include "pipeline/output_worker.h"

#include "capture/video_capture.h"
#include "pipeline/bgr24_picture.h"
#include "pipeline/stage_probes.h"
#include "pipeline/virtual_camera_holder.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from.h>
#include <trelvohdcam.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int64_t kAlignment = 64;

int64_t round_up(int64_t value) { return (value + kAlignment - 1) / kAlignment * kAlignment; }

// Rows converted at a time: the I420 rows of one strip (23 KiB at 1920 pixels) stay in cache
// between the two conversions, where full-size planes went out to memory and back. Even, so that
// no strip splits the two rows that share a chroma row.
constexpr int kStripRows = 8;

// Where the I420 strip and the YUY2 picture of one size live. Odd sizes: the chroma rows hold the
// rounded-up chroma, (width + 1) / 2 samples, which is what libyuv reads and writes. The YUY2
// stride stays width x 2, the layout the library expects; libyuv still writes a whole Y U Y V group
// for the last odd pixel of every row, so those two extra bytes land at the start of the next row
// (which a later strip overwrites, strips running top to bottom) and, on the last row, in a tail
// kept for that purpose. Strip strides are whole multiples of 64 bytes.
struct Yuy2Layout {
    int64_t luma_stride = 0;
    int64_t chroma_stride = 0;
    int64_t strip_bytes = 0;
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
        strip_bytes = luma_stride * kStripRows + 2 * chroma_stride * (kStripRows / 2);
        yuy2_stride = width * 2;
        yuy2_bytes = round_up((height - 1) * yuy2_stride + (width + 1) / 2 * 4);
        return luma_stride <= kMaxInt32 &&
               static_cast<uint64_t>(yuy2_bytes) <= (std::numeric_limits<size_t>::max)() / 2;
    }

    // The whole picture, strip by strip, through one strip of scratch.
    int convert(const QueuedFrame& source, uint8_t* strip, uint8_t* yuy2) const {
        uint8_t* y_rows = strip;
        uint8_t* u_rows = y_rows + luma_stride * kStripRows;
        uint8_t* v_rows = u_rows + chroma_stride * (kStripRows / 2);
        const int ys = static_cast<int>(luma_stride);
        const int cs = static_cast<int>(chroma_stride);
        const int ds = static_cast<int>(yuy2_stride);
        for (int row = 0; row < source.height; row += kStripRows) {
            const int rows = (std::min)(kStripRows, source.height - row);
            const uint8_t* rgb = source.data + static_cast<ptrdiff_t>(row) * source.stride;
            uint8_t* out = yuy2 + static_cast<ptrdiff_t>(row) * ds;
            if (libyuv::RGB24ToI420(rgb, source.stride, y_rows, ys, u_rows, cs, v_rows, cs, source.width, rows) != 0 ||
                libyuv::I420ToYUY2(y_rows, ys, u_rows, cs, v_rows, cs, out, ds, source.width, rows) != 0) {
                return -1;
            }
        }
        return 0;
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
    Yuy2Converter converter;
    QueuedFrame converted;
    if (converter.convert(source, converted) != 0) {
        return -1;
    }
    // The converter's picture becomes the caller's.
    result = converted;
    converter.yuy2_ = nullptr;
    return 0;
}

Yuy2Converter::~Yuy2Converter() { release(); }

void Yuy2Converter::release() {
    std::free(strip_);
    std::free(yuy2_);
    strip_ = nullptr;
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
        strip_ = allocate_zeroed(layout.strip_bytes);
        yuy2_ = allocate_zeroed(layout.yuy2_bytes);
        if (strip_ == nullptr || yuy2_ == nullptr) {
            release();
            return -1;
        }
        width_ = source.width;
        height_ = source.height;
    }
    if (layout.convert(source, strip_, yuy2_) != 0) {
        return -1;
    }
    result.data = yuy2_;
    result.width = source.width;
    result.height = source.height;
    result.stride = static_cast<int32_t>(layout.yuy2_stride);
    return 0;
}
