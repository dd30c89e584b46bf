#include "pipeline/uncompressed_conversion.h"

#include "capture/video_capture.h"
#include "common/diagnostic_line.h"
#include "common/subtype_table.h"
#include "pipeline/frame_decoder.h"
#include "pipeline/frame_queue.h"
#include "pipeline/stage_probes.h"

#include <mfapi.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <cstring>

namespace {

// Rebuilds the scaler and its destination for a new key; false leaves it released.
bool build_scaler(PyVideoCapture& session, AVPixelFormat format, int32_t width, int32_t height) {
    release_scaler(session);
    session.dst_frame.reset(av_frame_alloc());
    if (session.dst_frame == nullptr) {
        return false;
    }
    session.sws_context.reset(sws_getContext(width, height, format, width, height, AV_PIX_FMT_BGR24, SWS_BILINEAR,
                                             nullptr, nullptr, nullptr));
    if (session.sws_context == nullptr || !allocate_bgr24(*session.dst_frame, width, height)) {
        release_scaler(session);
        return false;
    }
    session.last_pixel_format = format;
    session.last_width = width;
    session.last_height = height;
    return true;
}

// The sample's bytes when its buffer leaves libswscale room to read past the picture, else a
// padded copy of the picture (null when that cannot be allocated).
const uint8_t* readable_source(PyVideoCapture& session, const uint8_t* data, uint32_t max_length, int64_t needed) {
    if (static_cast<int64_t>(max_length) - needed >= kSourceSlack) {
        return data;
    }
    const int64_t size = needed + kSourceSlack;
    if (session.sample_copy_size < size) {
        av_freep(&session.sample_copy);
        session.sample_copy_size = 0;
        session.sample_copy = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(size)));
        if (session.sample_copy == nullptr) {
            return nullptr;
        }
        session.sample_copy_size = size;
    }
    std::memcpy(session.sample_copy, data, static_cast<size_t>(needed));
    // What libswscale reads beyond the picture is defined, if unused.
    std::memset(session.sample_copy + needed, 0, static_cast<size_t>(kSourceSlack));
    return session.sample_copy;
}

}  // namespace

void convert_uncompressed(PyVideoCapture& session, const uint8_t* data, uint32_t length, uint32_t max_length) {
    if (session.src_frame == nullptr) {
        session.src_frame.reset(av_frame_alloc());
        if (session.src_frame == nullptr) {
            return;
        }
    }
    const int32_t format = pixel_format_for_subtype(session.subtype);
    if (format < 0) {
        diagnostic_line("Unsupported format!\n");
        return;
    }
    const int32_t width = session.width;
    const int32_t height = session.height;
    const int64_t needed = packed_picture_size(format, width, height);
    // A sample shorter than its format implies would be read past its end; the limits keep
    // libavutil's 32-bit sizes exact.
    if (data == nullptr || needed <= 0 || needed > kMaxInt32 - kSourceSlack || rgb24_picture_size(width, height) < 0 ||
        static_cast<int64_t>(length) < needed) {
        return;
    }
    if (format != session.last_pixel_format || width != session.last_width || height != session.last_height ||
        session.sws_context == nullptr) {
        if (!build_scaler(session, static_cast<AVPixelFormat>(format), width, height)) {
            return;
        }
    }
    const uint8_t* source_bytes = readable_source(session, data, max_length, needed);
    AVFrame& source = *session.src_frame;
    if (source_bytes == nullptr || av_image_fill_arrays(source.data, source.linesize, source_bytes,
                                                        static_cast<AVPixelFormat>(format), width, height, 1) < 0) {
        return;
    }
    {
        TRELVO_STAGE_PROBE(PipelineStage::rgb_conversion);
        sws_scale(session.sws_context.get(), source.data, source.linesize, 0, height, session.dst_frame->data,
                  session.dst_frame->linesize);
    }
    // push_frame packs the rows if libavutil padded them.
    const AVFrame& picture = *session.dst_frame;
    push_frame(session, picture.data[0], width, height, picture.linesize[0]);
}

int32_t pixel_format_for_subtype(const GUID& subtype) {
    const SubtypeRow* row = find_subtype(subtype);
    return row != nullptr && row->av_pixel_format != AV_PIX_FMT_NONE ? row->av_pixel_format : -1;
}

int64_t packed_picture_size(int32_t pixel_format, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        return -1;
    }
    const int64_t w = width;
    const int64_t h = height;
    // Chroma planes and pairs cover the odd last column and row, as libavutil lays them out.
    const int64_t chroma_w = (w + 1) / 2;
    const int64_t chroma_h = (h + 1) / 2;
    switch (pixel_format) {
        case AV_PIX_FMT_NV12:
        case AV_PIX_FMT_YUV420P:
            return w * h + 2 * chroma_w * chroma_h;
        case AV_PIX_FMT_YUYV422:
            return 4 * chroma_w * h;
        case AV_PIX_FMT_BGR24:
            return 3 * w * h;
        case AV_PIX_FMT_P010LE:
            return 2 * w * h + 4 * chroma_w * chroma_h;
        default:
            return -1;
    }
}

void release_scaler(PyVideoCapture& session) {
    session.dst_frame.reset();
    session.sws_context.reset();
    av_freep(&session.sample_copy);
    session.sample_copy_size = 0;
    session.last_pixel_format = -1;
    session.last_width = 0;
    session.last_height = 0;
}
