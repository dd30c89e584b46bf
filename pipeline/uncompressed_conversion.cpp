#include "pipeline/uncompressed_conversion.h"

#include "common/diagnostic_line.h"
#include "common/subtype_table.h"
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
bool build_scaler(RawConverter& converter, AVPixelFormat format, int32_t width, int32_t height) {
    converter.release();
    converter.dst_frame.reset(av_frame_alloc());
    if (converter.dst_frame == nullptr) {
        return false;
    }
    converter.sws_context.reset(sws_getContext(width, height, format, width, height, AV_PIX_FMT_BGR24, SWS_BILINEAR,
                                               nullptr, nullptr, nullptr));
    if (converter.sws_context == nullptr || !allocate_bgr24(*converter.dst_frame, width, height)) {
        converter.release();
        return false;
    }
    converter.last_pixel_format = format;
    converter.last_width = width;
    converter.last_height = height;
    return true;
}

// The sample's bytes when its buffer leaves libswscale room to read past the picture, else a
// padded copy of the picture (null when that cannot be allocated).
const uint8_t* readable_source(RawConverter& converter, const uint8_t* data, uint32_t max_length, int64_t needed) {
    if (static_cast<int64_t>(max_length) - needed >= kSourceSlack) {
        return data;
    }
    const int64_t size = needed + kSourceSlack;
    if (converter.sample_copy_size < size) {
        av_freep(&converter.sample_copy);
        converter.sample_copy_size = 0;
        converter.sample_copy = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(size)));
        if (converter.sample_copy == nullptr) {
            return nullptr;
        }
        converter.sample_copy_size = size;
    }
    std::memcpy(converter.sample_copy, data, static_cast<size_t>(needed));
    // What libswscale reads beyond the picture is defined, if unused.
    std::memset(converter.sample_copy + needed, 0, static_cast<size_t>(kSourceSlack));
    return converter.sample_copy;
}

}  // namespace

bool convert_uncompressed(RawConverter& converter, const GUID& subtype, const uint8_t* data, uint32_t length,
                          uint32_t max_length, const PictureTarget& target) {
    if (converter.src_frame == nullptr) {
        converter.src_frame.reset(av_frame_alloc());
        if (converter.src_frame == nullptr) {
            return false;
        }
    }
    const int32_t format = pixel_format_for_subtype(subtype);
    if (format < 0) {
        diagnostic_line("Unsupported format!\n");
        return false;
    }
    const int32_t width = target.width;
    const int32_t height = target.height;
    const int64_t needed = packed_picture_size(format, width, height);
    // A sample shorter than its format implies would be read past its end; the limits keep
    // libavutil's 32-bit sizes exact.
    if (data == nullptr || target.data == nullptr || needed <= 0 || needed > kMaxInt32 - kSourceSlack ||
        rgb24_picture_size(width, height) < 0 || static_cast<int64_t>(length) < needed) {
        return false;
    }
    if (format != converter.last_pixel_format || width != converter.last_width || height != converter.last_height ||
        converter.sws_context == nullptr) {
        if (!build_scaler(converter, static_cast<AVPixelFormat>(format), width, height)) {
            return false;
        }
    }
    const uint8_t* source_bytes = readable_source(converter, data, max_length, needed);
    AVFrame& source = *converter.src_frame;
    if (source_bytes == nullptr || av_image_fill_arrays(source.data, source.linesize, source_bytes,
                                                        static_cast<AVPixelFormat>(format), width, height, 1) < 0) {
        return false;
    }
    TRELVO_STAGE_PROBE(PipelineStage::rgb_conversion);
    sws_scale(converter.sws_context.get(), source.data, source.linesize, 0, height, converter.dst_frame->data,
              converter.dst_frame->linesize);
    return copy_into_target(*converter.dst_frame, target);
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

void RawConverter::release() {
    dst_frame.reset();
    sws_context.reset();
    av_freep(&sample_copy);
    sample_copy_size = 0;
    last_pixel_format = -1;
    last_width = 0;
    last_height = 0;
}
