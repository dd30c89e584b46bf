#include "pipeline/mjpeg_conversion.h"

#include "pipeline/mjpeg_decoder.h"
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

bool grey_to_bgr24(MjpegDecoder& decoder, const AVFrame& picture, bool full_range, Matrix matrix, int width,
                   int height) {
    const int argb_stride = width * 4;
    if (decoder.argb_rows == nullptr) {
        decoder.argb_rows.reset(static_cast<uint8_t*>(av_malloc(static_cast<size_t>(argb_stride) * kGreyStripRows)));
        if (decoder.argb_rows == nullptr) return false;
    }
    uint8_t* argb = decoder.argb_rows.get();
    AVFrame& output = *decoder.output_frame;
    for (int row = 0; row < height; row += kGreyStripRows) {
        const int rows = (std::min)(kGreyStripRows, height - row);
        const uint8_t* grey = picture.data[0] + static_cast<ptrdiff_t>(row) * picture.linesize[0];
        const int status = full_range ? libyuv::J400ToARGB(grey, picture.linesize[0], argb, argb_stride, width, rows)
                                      : libyuv::I400ToARGBMatrix(grey, picture.linesize[0], argb, argb_stride,
                                                                 libyuv_matrix(matrix, false), width, rows);
        if (status != 0) return false;
        uint8_t* bgr = output.data[0] + static_cast<ptrdiff_t>(row) * output.linesize[0];
        if (libyuv::ARGBToRGB24(argb, argb_stride, bgr, output.linesize[0], width, rows) != 0) {
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
bool swscale_to_bgr24(MjpegDecoder& decoder, const AVFrame& picture, bool full_range, Matrix matrix, int width,
                      int height) {
    const int32_t format = unlabelled(picture.format);
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    if (layout == nullptr || layout->log2_chroma_w > 2 || layout->log2_chroma_h > 2) return false;
    const int log2_w = layout->log2_chroma_w;
    const int log2_h = layout->log2_chroma_h;
    // The decoder's planes and the output frame hold whole MCUs, so whole chroma samples fit both.
    const int rows = whole_chroma(height, log2_h);
    if (decoder.sws_context == nullptr || decoder.sws_format != format ||
        decoder.sws_full_range != int32_t(full_range) || decoder.sws_matrix != matrix) {
        decoder.sws_context.reset();
        decoder.sws_format = -1;
        if (sws_isSupportedInput(static_cast<AVPixelFormat>(format)) <= 0) return false;
        decoder.sws_context = centred_chroma_scaler(static_cast<AVPixelFormat>(format), whole_chroma(width, log2_w),
                                                    whole_chroma(height, log2_h));
        if (decoder.sws_context == nullptr) return false;
        const int* coefficients = sws_getCoefficients(swscale_matrix(matrix));
        // Source range as the JPEG declares it; RGB out is always full range.
        sws_setColorspaceDetails(decoder.sws_context.get(), coefficients, full_range ? 1 : 0, coefficients, 1, 0, 1 << 16,
                                 1 << 16);
        decoder.sws_format = format;
        decoder.sws_full_range = full_range;
        decoder.sws_matrix = matrix;
    }
    AVFrame& output = *decoder.output_frame;
    return sws_scale(decoder.sws_context.get(), picture.data, picture.linesize, 0, rows, output.data, output.linesize) ==
           rows;
}

}  // namespace

bool convert_decoded_picture(MjpegDecoder& decoder, const AVFrame& picture, int32_t width, int32_t height) {
    TRELVO_STAGE_PROBE(PipelineStage::rgb_conversion);
    AVFrame& output = *decoder.output_frame;
    const bool full_range = is_full_range_jpeg(picture);
    const Matrix matrix = matrix_of(picture);
    if (picture.format == AV_PIX_FMT_GRAY8) {
        return grey_to_bgr24(decoder, picture, full_range, matrix, width, height);
    }
    const PlanarToRgb24 to_rgb24 = libyuv_route(picture.format);
    if (to_rgb24 == nullptr) {
        return swscale_to_bgr24(decoder, picture, full_range, matrix, width, height);
    }
    return to_rgb24(picture.data[0], picture.linesize[0], picture.data[1], picture.linesize[1], picture.data[2],
                    picture.linesize[2], output.data[0], output.linesize[0], libyuv_matrix(matrix, full_range), width,
                    height) == 0;
}
