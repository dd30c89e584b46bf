#include "pipeline/frame_decoder.h"

#include "capture/video_capture.h"
#include "common/diagnostic_line.h"
#include "pipeline/frame_queue.h"
#include "pipeline/jpeg_outline.h"
#include "pipeline/mjpeg_conversion.h"
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

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

// (max)(): windows.h defines a max macro unless NOMINMAX is set.
constexpr int64_t kMaxInt32 = (std::numeric_limits<int32_t>::max)();
// Row alignment of the BGR24 pictures that libswscale and libyuv write: what libavutil gives its
// own frames on every CPU it supports, so the widest vector stores stay inside the buffer.
constexpr int kPictureAlign = 64;
// Appended after a sample that lacks its end marker: stuffed 0xFF bytes, which the decoder reads as
// one-bits. No Huffman code consists only of one-bits, so a scan that was cut off and reads on into
// this tail fails, while a whole scan never reaches it.
constexpr uint8_t kCutScanTrap[] = {0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00,
                                    0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00};
// Error checks the decoder makes only when asked; damage then fails the decode instead of being
// concealed.
constexpr int kDecoderErrorChecks = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER;
// Beyond every log level, within the 8 bits libavutil gives the offset.
constexpr int kQuietLogOffset = 128;

// The RGB24 picture's size in 64 bits, or -1 when the size is not positive or the byte count
// does not fit the 32-bit sizes that libavutil and libyuv take.
int64_t rgb24_picture_size(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        return -1;
    }
    const int64_t bytes = static_cast<int64_t>(width) * height * 3;
    return bytes <= kMaxInt32 ? bytes : -1;
}

// Gives a BGR24 frame of width x height a buffer of its own, laid out as libavutil lays out frames.
bool allocate_bgr24(AVFrame& frame, int32_t width, int32_t height) {
    frame.format = AV_PIX_FMT_BGR24;
    frame.width = width;
    frame.height = height;
    return av_frame_get_buffer(&frame, kPictureAlign) >= 0;
}

// The queue takes pictures of stride width x 3. A picture with padded rows is first packed into
// `packed` (width x height x 3 bytes, kept by the caller).
void queue_bgr24(PyVideoCapture& session, const AVFrame& picture, uint8_t* packed) {
    const int32_t width = picture.width;
    const int32_t height = picture.height;
    const int32_t row_bytes = width * 3;
    if (picture.linesize[0] == row_bytes) {
        push_frame(session, picture.data[0], width, height, row_bytes);
        return;
    }
    if (packed == nullptr) {
        return;
    }
    av_image_copy_plane(packed, row_bytes, picture.data[0], picture.linesize[0], row_bytes, height);
    push_frame(session, packed, width, height, row_bytes);
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
    decoder.codec_context->err_recognition = kDecoderErrorChecks;
    // A damaged frame is dropped silently; libavcodec would otherwise write its own complaint to
    // stderr. The offset applies to this context only, not to other libav users in the process.
    decoder.codec_context->log_level_offset = kQuietLogOffset;
    if (avcodec_open2(decoder.codec_context, decoder.codec, nullptr) < 0) {
        decoder.release();
        return false;
    }
    decoder.packet = av_packet_alloc();
    decoder.output_frame = av_frame_alloc();
    // Room for whole chroma samples (JPEG subsamples by up to 4) in both directions: libswscale
    // converts those, and the picture is the top-left width x height of it.
    if (decoder.packet == nullptr || decoder.output_frame == nullptr ||
        !allocate_bgr24(*decoder.output_frame, (width + 3) & ~3, (height + 3) & ~3)) {
        decoder.release();
        return false;
    }
    decoder.output_frame->width = width;
    decoder.output_frame->height = height;
    if (decoder.output_frame->linesize[0] != width * 3) {
        decoder.packed = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(rgb24_picture_size(width, height))));
        if (decoder.packed == nullptr) {
            decoder.release();
            return false;
        }
    }
    decoder.width = width;
    decoder.height = height;
    return true;
}

// Whether libavcodec accepts this picture size; says nothing on stderr when it does not.
bool decoder_takes_size(int32_t width, int32_t height) {
    return av_image_check_size2(static_cast<unsigned>(width), static_cast<unsigned>(height), INT64_MAX,
                                AV_PIX_FMT_NONE, kQuietLogOffset, nullptr) >= 0;
}

// The bytes to hand the decoder: the sample itself, or a copy with the cut-scan trap when the
// sample has no end marker. Null when the copy cannot be made.
const uint8_t* packet_bytes(MjpegDecoder& decoder, const uint8_t* data, uint32_t length, const JpegOutline& outline,
                            uint32_t& packet_length) {
    packet_length = length;
    if (outline.has_end) {
        return data;
    }
    // A buffer padded with zeros after a cut would feed the decoder zero bits, which decode as
    // valid codes: the trap goes right after the last byte that is not padding (a zero that
    // completes a stuffed 0xFF stays).
    uint32_t kept = length;
    while (kept > 0 && data[kept - 1] == 0x00 && !(kept >= 2 && data[kept - 2] == 0xFF)) {
        --kept;
    }
    const size_t needed = static_cast<size_t>(kept) + sizeof(kCutScanTrap);
    av_fast_padded_malloc(&decoder.sample_copy, &decoder.sample_copy_size, needed);
    if (decoder.sample_copy == nullptr) {
        return nullptr;
    }
    std::memcpy(decoder.sample_copy, data, kept);
    std::memcpy(decoder.sample_copy + kept, kCutScanTrap, sizeof(kCutScanTrap));
    packet_length = static_cast<uint32_t>(needed);
    return decoder.sample_copy;
}

// Whether the sample is worth decoding: its own frame header declares the capture's size (so a
// wrong or absurd size is never allocated or complained about), and a progressive JPEG without
// its end marker still has every scan.
bool outline_fits(const JpegOutline& outline, int32_t width, int32_t height) {
    if (outline.frame_headers == 0 || !outline.sizes_agree || !outline.has_scan) {
        return false;
    }
    if (outline.width != width || outline.height != height) {
        return false;
    }
    return !outline.progressive || outline.has_end || outline.progressive_complete;
}

bool decoded_whole(const AVFrame& decoded, int32_t width, int32_t height) {
    return decoded.width == width && decoded.height == height && decoded.decode_error_flags == 0 &&
           (decoded.flags & AV_FRAME_FLAG_CORRUPT) == 0;
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
                            length <= static_cast<uint32_t>(kMaxInt32 - AV_INPUT_BUFFER_PADDING_SIZE -
                                                            static_cast<int>(sizeof(kCutScanTrap))) &&
                            rgb24_picture_size(width, height) > 0 && decoder_takes_size(width, height);
        JpegOutline outline;
        if (usable) {
            outline = outline_jpeg(data, length);
        }
        bool built = usable && outline_fits(outline, width, height);
        if (built && (decoder.codec_context == nullptr || decoder.width != width || decoder.height != height)) {
            built = build_decoder(decoder, width, height);
        }
        uint32_t packet_length = 0;
        const uint8_t* bytes = built ? packet_bytes(decoder, data, length, outline, packet_length) : nullptr;
        if (bytes != nullptr) {
            // The packet borrows the bytes. It carries no reference-counted buffer, so libavcodec
            // copies it into a padded buffer of its own and never reads past ours.
            decoder.packet->data = const_cast<uint8_t*>(bytes);
            decoder.packet->size = static_cast<int>(packet_length);
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
            // A damaged picture, or one of another size than the capture's, is dropped.
            if (status >= 0 && decoded_whole(*decoded, width, height)) {
                have_picture = convert_decoded_picture(decoder, *decoded, width, height);
            }
        }
        av_frame_free(&decoded);
    }
    if (have_picture) {
        queue_bgr24(session, *decoder.output_frame, decoder.packed);
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
    if (session.sws_context == nullptr || !allocate_bgr24(*session.dst_frame, width, height)) {
        release_scaler(session);
        return false;
    }
    session.rgb_buffer_size = static_cast<int32_t>(rgb24_picture_size(width, height));
    if (session.dst_frame->linesize[0] != width * 3) {
        session.rgb_buffer = static_cast<uint8_t*>(av_malloc(static_cast<size_t>(session.rgb_buffer_size)));
        if (session.rgb_buffer == nullptr) {
            release_scaler(session);
            return false;
        }
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

void convert_uncompressed(PyVideoCapture& session, const uint8_t* data, uint32_t length, uint32_t max_length) {
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
        sws_scale(session.sws_context, source.data, source.linesize, 0, height, session.dst_frame->data,
                  session.dst_frame->linesize);
    }
    queue_bgr24(session, *session.dst_frame, session.rgb_buffer);
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
    const uint32_t length = (std::min<uint32_t>)(current_length, max_length);
    if (session.subtype == MFVideoFormat_MJPG) {
        decode_mjpeg(session, data, length);
    } else {
        convert_uncompressed(session, data, length, max_length);
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
    av_freep(&session.sample_copy);
    session.sample_copy_size = 0;
    session.dst_frame = nullptr;
    session.rgb_buffer = nullptr;
    session.sws_context = nullptr;
    session.rgb_buffer_size = 0;
    session.last_pixel_format = -1;
    session.last_width = 0;
    session.last_height = 0;
}

void MjpegDecoder::release() {
    av_frame_free(&output_frame);  // its buffer with it
    av_packet_free(&packet);
    if (codec_context != nullptr) {
#if LIBAVCODEC_VERSION_MAJOR < 61
        avcodec_close(codec_context);
#endif
        avcodec_free_context(&codec_context);
    }
    av_freep(&sample_copy);
    sample_copy_size = 0;
    sws_freeContext(sws_context);
    sws_context = nullptr;
    sws_format = -1;
    sws_full_range = -1;
    sws_matrix = -1;
    av_freep(&argb_rows);
    av_freep(&packed);
    codec = nullptr;
    codec_context = nullptr;
    packet = nullptr;
    output_frame = nullptr;
    width = 0;
    height = 0;
}
