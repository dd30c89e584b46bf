#include "pipeline/mjpeg_conversion.h"

#include "pipeline/stage_probes.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>

namespace {

// Greyscale goes through ARGB this many rows at a time.
constexpr int kGreyStripRows = 16;

enum Matrix : int32_t { kBt601 = 0, kBt709 = 1, kBt2020 = 2 };

Matrix matrix_of(const AVFrame& picture) {
    switch (picture.colorspace) {
        case AVCOL_SPC_BT709:
            return kBt709;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return kBt2020;
        default:
            // JFIF and the decoder's default (BT470BG) are BT.601; so is an unspecified picture.
            return kBt601;
    }
}

const libyuv::YuvConstants* libyuv_matrix(Matrix matrix, bool full_range) {
    switch (matrix) {
        case kBt709:
            return full_range ? &libyuv::kYuvF709Constants : &libyuv::kYuvH709Constants;
        case kBt2020:
            return full_range ? &libyuv::kYuvV2020Constants : &libyuv::kYuv2020Constants;
        default:
            return full_range ? &libyuv::kYuvJPEGConstants : &libyuv::kYuvI601Constants;
    }
}

int swscale_matrix(Matrix matrix) {
    switch (matrix) {
        case kBt709:
            return SWS_CS_ITU709;
        case kBt2020:
            return SWS_CS_BT2020;
        default:
            return SWS_CS_ITU601;
    }
}

bool grey_to_bgr24(MjpegConversion& conversion, const AVFrame& picture, bool full_range, Matrix matrix,
                   const PictureTarget& target) {
    const int width = target.width;
    const int argb_stride = width * 4;
    if (conversion.argb_rows == nullptr || conversion.argb_width != width) {
        conversion.argb_rows.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(argb_stride) * kGreyStripRows)));
        conversion.argb_width = conversion.argb_rows != nullptr ? width : 0;
        if (conversion.argb_rows == nullptr) return false;
    }
    uint8_t* argb = conversion.argb_rows.get();
    for (int row = 0; row < target.height; row += kGreyStripRows) {
        const int rows = (std::min)(kGreyStripRows, target.height - row);
        const uint8_t* grey = picture.data[0] + static_cast<ptrdiff_t>(row) * picture.linesize[0];
        const int status = full_range ? libyuv::J400ToARGB(grey, picture.linesize[0], argb, argb_stride, width, rows)
                                      : libyuv::I400ToARGBMatrix(grey, picture.linesize[0], argb, argb_stride,
                                                                 libyuv_matrix(matrix, false), width, rows);
        if (status != 0) return false;
        uint8_t* bgr = target.data + static_cast<ptrdiff_t>(row) * target.stride;
        if (libyuv::ARGBToRGB24(argb, argb_stride, bgr, target.stride, width, rows) != 0) {
            return false;
        }
    }
    return true;
}

// The size rounded up to whole chroma samples of 2^log2 pixels.
int whole_chroma(int size, int log2) { return (size + (1 << log2) - 1) & ~((1 << log2) - 1); }

// The same layout without the full-range ("J") label, which libswscale warns about on stderr; the
// range is given to it explicitly instead.
int32_t unlabelled(int32_t format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
        default: return format;
    }
}

// Whether the decoded picture's samples use the full 0..255 range. A JPEG is full range unless it
// says otherwise (JFIF); the decoder marks the exceptions as limited, and the "J" layouts are full
// range by name.
bool is_full_range_jpeg(const AVFrame& picture) {
    return unlabelled(picture.format) != picture.format || picture.color_range != AVCOL_RANGE_MPEG;
}

// libyuv's converters of three 8-bit planes to BGR24 ("RGB24" in libyuv's byte order).
using PlanarToRgb24 = int (*)(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int,
                              const libyuv::YuvConstants*, int, int);

// The libyuv converter for a decoded layout (labelled full range or not); null for those it lacks.
PlanarToRgb24 libyuv_route(int32_t format) {
    switch (unlabelled(format)) {
        case AV_PIX_FMT_YUV420P: return libyuv::I420ToRGB24Matrix;
        case AV_PIX_FMT_YUV422P: return libyuv::I422ToRGB24Matrix;
        case AV_PIX_FMT_YUV444P: return libyuv::I444ToRGB24Matrix;
        default: return nullptr;
    }
}

// A same-size converter to BGR24 that takes the chroma samples as JPEG sites them, centred between
// the luma samples they cover (libswscale's default is MPEG's left siting), and repeats each over
// the pixels it covers, as libyuv does for 4:2:0 and 4:2:2 (and libjpeg without smoothing). The
// size must be a whole number of chroma samples: libswscale scales a chroma plane of rounded-up
// width to the luma width, so for 33 pixels of 4:1:1 it would stretch 9 samples over 33 instead
// of 36, and pick the wrong ones.
SwsContextPtr centred_chroma_scaler(AVPixelFormat format, int width, int height) {
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(format);
    SwsContextPtr owner(sws_alloc_context());
    SwsContext* context = owner.get();
    if (layout == nullptr || context == nullptr) {
        return nullptr;
    }
    // In 1/256 of a luma sample: the centre of 2^n luma samples is (2^n - 1) / 2 samples in.
    const int h_position = ((1 << layout->log2_chroma_w) - 1) * 128;
    const int v_position = ((1 << layout->log2_chroma_h) - 1) * 128;
    const bool set = av_opt_set_int(context, "srcw", width, 0) >= 0 && av_opt_set_int(context, "srch", height, 0) >= 0 &&
                     av_opt_set_int(context, "dstw", width, 0) >= 0 && av_opt_set_int(context, "dsth", height, 0) >= 0 &&
                     av_opt_set_int(context, "src_format", format, 0) >= 0 &&
                     av_opt_set_int(context, "dst_format", AV_PIX_FMT_BGR24, 0) >= 0 &&
                     av_opt_set_int(context, "sws_flags", SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, 0) >= 0 &&
                     av_opt_set_int(context, "src_h_chr_pos", h_position, 0) >= 0 &&
                     av_opt_set_int(context, "src_v_chr_pos", v_position, 0) >= 0;
    if (!set || sws_init_context(context, nullptr, nullptr) < 0) {
        return nullptr;
    }
    return owner;
}

// libswscale for the layouts libyuv has no routine for (4:4:0, 4:1:1, more than 8 bits, RGB, ...).
// It writes whole chroma samples, so into a picture of its own, copied into the target after.
bool swscale_to_bgr24(MjpegConversion& conversion, const AVFrame& picture, bool full_range, Matrix matrix,
                      const PictureTarget& target) {
    const int32_t format = unlabelled(picture.format);
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    if (layout == nullptr || layout->log2_chroma_w > 2 || layout->log2_chroma_h > 2) return false;
    const int log2_w = layout->log2_chroma_w;
    const int log2_h = layout->log2_chroma_h;
    // The decoder's planes hold whole MCUs; the picture below holds whole chroma samples.
    const int rows = whole_chroma(target.height, log2_h);
    // Room for whole chroma samples (JPEG subsamples by up to 4) in both directions.
    const int padded_width = (target.width + 3) & ~3;
    const int padded_height = (target.height + 3) & ~3;
    AVFramePtr& output = conversion.sws_picture;
    if (output == nullptr || output->width != padded_width || output->height != padded_height) {
        output.reset(av_frame_alloc());
        if (output == nullptr || !allocate_bgr24(*output, padded_width, padded_height)) {
            output.reset();
            return false;
        }
    }
    if (conversion.sws_context == nullptr || conversion.sws_format != format ||
        conversion.sws_full_range != int32_t(full_range) || conversion.sws_matrix != matrix) {
        conversion.sws_context.reset();
        conversion.sws_format = -1;
        if (sws_isSupportedInput(static_cast<AVPixelFormat>(format)) <= 0) return false;
        conversion.sws_context = centred_chroma_scaler(static_cast<AVPixelFormat>(format),
                                                       whole_chroma(target.width, log2_w), rows);
        if (conversion.sws_context == nullptr) return false;
        const int* coefficients = sws_getCoefficients(swscale_matrix(matrix));
        // Source range as the JPEG declares it; RGB out is always full range.
        sws_setColorspaceDetails(conversion.sws_context.get(), coefficients, full_range ? 1 : 0, coefficients, 1, 0,
                                 1 << 16, 1 << 16);
        conversion.sws_format = format;
        conversion.sws_full_range = full_range;
        conversion.sws_matrix = matrix;
    }
    return sws_scale(conversion.sws_context.get(), picture.data, picture.linesize, 0, rows, output->data,
                     output->linesize) == rows &&
           copy_into_target(*output, target);
}

}  // namespace

bool convert_decoded_picture(MjpegConversion& conversion, const AVFrame& picture, const PictureTarget& target) {
    TRELVO_STAGE_PROBE(PipelineStage::rgb_conversion);
    if (target.data == nullptr || target.width <= 0 || target.height <= 0 ||
        static_cast<int64_t>(target.stride) < static_cast<int64_t>(target.width) * 3) {
        return false;
    }
    const bool full_range = is_full_range_jpeg(picture);
    const Matrix matrix = matrix_of(picture);
    if (picture.format == AV_PIX_FMT_GRAY8) {
        return grey_to_bgr24(conversion, picture, full_range, matrix, target);
    }
    const PlanarToRgb24 to_rgb24 = libyuv_route(picture.format);
    if (to_rgb24 == nullptr) {
        return swscale_to_bgr24(conversion, picture, full_range, matrix, target);
    }
    return to_rgb24(picture.data[0], picture.linesize[0], picture.data[1], picture.linesize[1], picture.data[2],
                    picture.linesize[2], target.data, target.stride, libyuv_matrix(matrix, full_range), target.width,
                    target.height) == 0;
}

void MjpegConversion::release() {
    sws_context.reset();
    sws_format = -1;
    sws_full_range = -1;
    sws_matrix = -1;
    sws_picture.reset();
    argb_rows.reset();
    argb_width = 0;
}
