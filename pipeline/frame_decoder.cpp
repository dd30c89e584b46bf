#include "pipeline/frame_decoder.h"

#include "capture/video_capture.h"
#include "common/diagnostic_line.h"
#include "pipeline/frame_queue.h"
#include "pipeline/stage_probes.h"

#include <mfapi.h>
#include <wrl/client.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <limits>

namespace {

// (max)(): windows.h defines a max macro unless NOMINMAX is set.
constexpr int64_t kMaxInt32 = (std::numeric_limits<int32_t>::max)();

// The RGB24 picture's size in 64 bits, or -1 when the size is not positive or the byte count
// does not fit the 32-bit sizes that libavutil and libyuv take.
int64_t rgb24_picture_size(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        return -1;
    }
    const int64_t bytes = static_cast<int64_t>(width) * height * 3;
    return bytes <= kMaxInt32 ? bytes : -1;
}

bool is_full_range(const AVFrame& picture) {
    return picture.format == AV_PIX_FMT_YUVJ420P || picture.format == AV_PIX_FMT_YUVJ422P ||
           picture.color_range == AVCOL_RANGE_JPEG;
}

// Builds the decoder for the capture's size; false leaves it released.
bool build_decoder(MjpegDecoder& decoder, int32_t width, int32_t height) {
    decoder.release();
    decoder.codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (decoder.codec == nullptr) {
        return false;
    }
    decoder.codec_context = avcodec_alloc_context3(decoder.codec);
    if (decoder.codec_context == nullptr) {
        decoder.release();
        return false;
    }
    decoder.codec_context->width = width;
    decoder.codec_context->height = height;
    // A damaged frame is dropped silently; libavcodec would otherwise write its own complaint to
    // stderr. The offset applies to this context only, not to other libav users in the process.
    decoder.codec_context->log_level_offset = 128;  // beyond every level, within its 8 bits
    if (avcodec_open2(decoder.codec_context, decoder.codec, nullptr) < 0) {
        decoder.release();
        return false;
    }
    decoder.packet = av_packet_alloc();
    decoder.output_frame = av_frame_alloc();
    if (decoder.packet == nullptr || decoder.output_frame == nullptr) {
        decoder.release();
        return false;
    }
    const int buffer_size = av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, 1);
    auto* buffer = buffer_size > 0 ? static_cast<uint8_t*>(av_malloc(static_cast<size_t>(buffer_size))) : nullptr;
    if (buffer == nullptr) {
        decoder.release();
        return false;
    }
    if (av_image_fill_arrays(decoder.output_frame->data, decoder.output_frame->linesize, buffer, AV_PIX_FMT_BGR24,
                             width, height, 1) < 0) {
        av_free(buffer);
        decoder.release();
        return false;
    }
    decoder.width = width;
    decoder.height = height;
    return true;
}

// Converts a decoded picture of the capture's size into the decoder's BGR24 frame.
bool decoded_to_rgb24(const AVFrame& picture, AVFrame& output, int32_t width, int32_t height) {
    TRELVO_STAGE_PROBE(PipelineStage::rgb_conversion);
    const bool full_range = is_full_range(picture);
    int result = -1;
    switch (picture.format) {
        case AV_PIX_FMT_YUV420P:
        case AV_PIX_FMT_YUVJ420P:
            // Camera JPEGs are full range; the limited-range matrix would crush blacks and whites.
            result = full_range ? libyuv::J420ToRGB24(picture.data[0], picture.linesize[0], picture.data[1],
                                                      picture.linesize[1], picture.data[2], picture.linesize[2],
                                                      output.data[0], output.linesize[0], width, height)
                                : libyuv::I420ToRGB24(picture.data[0], picture.linesize[0], picture.data[1],
                                                      picture.linesize[1], picture.data[2], picture.linesize[2],
                                                      output.data[0], output.linesize[0], width, height);
            break;
        case AV_PIX_FMT_YUV422P:
        case AV_PIX_FMT_YUVJ422P:
            result = full_range ? libyuv::I422ToRGB24Matrix(picture.data[0], picture.linesize[0], picture.data[1],
                                                            picture.linesize[1], picture.data[2], picture.linesize[2],
                                                            output.data[0], output.linesize[0],
                                                            &libyuv::kYuvJPEGConstants, width, height)
                                : libyuv::I422ToRGB24(picture.data[0], picture.linesize[0], picture.data[1],
                                                      picture.linesize[1], picture.data[2], picture.linesize[2],
                                                      output.data[0], output.linesize[0], width, height);
            break;
        default:
            // 4:4:4, grey and the rest have no converter here; the picture is dropped.
            return false;
    }
    if (result != 0) {
        return false;
    }
    output.width = width;
    output.height = height;
    output.format = AV_PIX_FMT_BGR24;
    return true;
}

void decode_mjpeg(PyVideoCapture& session, const uint8_t* data, uint32_t length) {
    if (!session.mjpeg_decoder) {
        return;
    }
    MjpegDecoder& decoder = *session.mjpeg_decoder;
    const int32_t width = session.width;
    const int32_t height = session.height;
    bool have_picture = false;
    {
        std::lock_guard<std::mutex> decoder_guard(decoder.lock);
        AVFrame* decoded = av_frame_alloc();
        if (decoded == nullptr) {
            return;
        }
        // A packet size must fit an int; the RGB24 picture must fit the 32-bit sizes of the calls.
        const bool usable = data != nullptr && length != 0 &&
                            length <= static_cast<uint32_t>(kMaxInt32 - AV_INPUT_BUFFER_PADDING_SIZE) &&
                            rgb24_picture_size(width, height) > 0;
        bool built = usable;
        if (usable && (decoder.codec_context == nullptr || decoder.width != width || decoder.height != height)) {
            built = build_decoder(decoder, width, height);
        }
        if (built) {
            // The packet borrows the sample's bytes. It carries no reference-counted buffer, so
            // libavcodec copies it into a padded buffer of its own and never reads past ours.
            decoder.packet->data = const_cast<uint8_t*>(data);
            decoder.packet->size = static_cast<int>(length);
            int status;
            {
                TRELVO_STAGE_PROBE(PipelineStage::decode);
                status = avcodec_send_packet(decoder.codec_context, decoder.packet);
                if (status >= 0) {
                    status = avcodec_receive_frame(decoder.codec_context, decoded);
                }
            }
            decoder.packet->data = nullptr;
            decoder.packet->size = 0;
            // A JPEG of another size than the capture's would be read or written out of bounds.
            if (status >= 0 && decoded->width == width && decoded->height == height) {
                have_picture = decoded_to_rgb24(*decoded, *decoder.output_frame, width, height);
            }
        }
        av_frame_free(&decoded);
    }
    if (have_picture) {
        push_frame(session, decoder.output_frame->data[0], decoder.output_frame->width, decoder.output_frame->height,
                   decoder.output_frame->linesize[0]);
    }
}

// Rebuilds the scaler and its destination for a new key; false leaves it released.
bool build_scaler(PyVideoCapture& session, AVPixelFormat format, int32_t width, int32_t height) {
    release_scaler(session);
    session.dst_frame = av_frame_alloc();
    if (session.dst_frame == nullptr) {
        return false;
    }
    session.sws_context = sws_getContext(width, height, format, width, height, AV_PIX_FMT_BGR24, SWS_BILINEAR,
                                         nullptr, nullptr, nullptr);
    if (session.sws_context == nullptr) {
        release_scaler(session);
        return false;
    }
    const int buffer_size = av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, 1);
    session.rgb_buffer = buffer_size > 0 ? static_cast<uint8_t*>(av_malloc(static_cast<size_t>(buffer_size))) : nullptr;
    if (session.rgb_buffer == nullptr) {
        release_scaler(session);
        return false;
    }
    session.rgb_buffer_size = buffer_size;
    if (av_image_fill_arrays(session.dst_frame->data, session.dst_frame->linesize, session.rgb_buffer,
                             AV_PIX_FMT_BGR24, width, height, 1) < 0) {
        release_scaler(session);
        return false;
    }
    session.last_pixel_format = format;
    session.last_width = width;
    session.last_height = height;
    return true;
}

void convert_uncompressed(PyVideoCapture& session, const uint8_t* data, uint32_t length) {
    if (session.src_frame == nullptr) {
        session.src_frame = av_frame_alloc();
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
    if (data == nullptr || needed <= 0 || needed > kMaxInt32 || rgb24_picture_size(width, height) < 0 ||
        static_cast<int64_t>(length) < needed) {
        return;
    }
    AVFrame& source = *session.src_frame;
    if (av_image_fill_arrays(source.data, source.linesize, data, static_cast<AVPixelFormat>(format), width, height,
                             1) < 0) {
        return;
    }
    if (format != session.last_pixel_format || width != session.last_width || height != session.last_height ||
        session.sws_context == nullptr) {
        if (!build_scaler(session, static_cast<AVPixelFormat>(format), width, height)) {
            return;
        }
    }
    {
        TRELVO_STAGE_PROBE(PipelineStage::rgb_conversion);
        sws_scale(session.sws_context, source.data, source.linesize, 0, height, session.dst_frame->data,
                  session.dst_frame->linesize);
    }
    push_frame(session, session.rgb_buffer, width, height, session.dst_frame->linesize[0]);
}

}  // namespace

int32_t pixel_format_for_subtype(const GUID& subtype) {
    if (subtype == MFVideoFormat_NV12) return AV_PIX_FMT_NV12;
    if (subtype == MFVideoFormat_YUY2) return AV_PIX_FMT_YUYV422;
    if (subtype == MFVideoFormat_I420) return AV_PIX_FMT_YUV420P;
    if (subtype == MFVideoFormat_RGB24) return AV_PIX_FMT_BGR24;
    if (subtype == MFVideoFormat_P010) return AV_PIX_FMT_P010LE;
    return -1;
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
    const uint32_t length = std::min<uint32_t>(current_length, max_length);
    if (session.subtype == MFVideoFormat_MJPG) {
        decode_mjpeg(session, data, length);
    } else {
        convert_uncompressed(session, data, length);
    }
    buffer->Unlock();
}

void release_scaler(PyVideoCapture& session) {
    if (session.dst_frame != nullptr) {
        av_frame_free(&session.dst_frame);
    }
    if (session.rgb_buffer != nullptr) {
        av_free(session.rgb_buffer);
    }
    if (session.sws_context != nullptr) {
        sws_freeContext(session.sws_context);
    }
    session.dst_frame = nullptr;
    session.rgb_buffer = nullptr;
    session.sws_context = nullptr;
    session.rgb_buffer_size = 0;
    session.last_pixel_format = -1;
    session.last_width = 0;
    session.last_height = 0;
}

void MjpegDecoder::release() {
    if (output_frame != nullptr) {
        av_freep(&output_frame->data[0]);
        av_frame_free(&output_frame);
    }
    av_packet_free(&packet);
    if (codec_context != nullptr) {
#if LIBAVCODEC_VERSION_MAJOR < 61
        avcodec_close(codec_context);
#endif
        avcodec_free_context(&codec_context);
    }
    codec = nullptr;
    codec_context = nullptr;
    packet = nullptr;
    output_frame = nullptr;
    width = 0;
    height = 0;
}
