#include "pipeline/mjpeg_decoder.h"

#include "pipeline/jpeg_outline.h"
#include "pipeline/stage_probes.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include <cstdint>
#include <cstring>

namespace {

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

// Builds the decoder for the capture's size; false leaves it released.
bool build_decoder(MjpegDecoder& decoder, int32_t width, int32_t height) {
    decoder.release();
    decoder.codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    if (decoder.codec == nullptr) {
        return false;
    }
    decoder.codec_context.reset(avcodec_alloc_context3(decoder.codec));
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
    if (avcodec_open2(decoder.codec_context.get(), decoder.codec, nullptr) < 0) {
        decoder.release();
        return false;
    }
    decoder.packet.reset(av_packet_alloc());
    decoder.decoded.reset(av_frame_alloc());
    if (decoder.packet == nullptr || decoder.decoded == nullptr) {
        decoder.release();
        return false;
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

// Whether the sample is worth decoding: every frame header the decoder can reach declares the
// capture's size (so a wrong or absurd size is never allocated or complained about), and a
// progressive JPEG without its end marker still has every scan.
bool outline_fits(const JpegOutline& outline, int32_t width, int32_t height) {
    if (outline.frame_headers == 0 || !outline.sizes_agree || !outline.has_scan || !outline.markers_certain) {
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

}  // namespace

bool decode_mjpeg(MjpegDecoder& decoder, const uint8_t* data, uint32_t length, const PictureTarget& target) {
    const int32_t width = target.width;
    const int32_t height = target.height;
    std::lock_guard<std::mutex> decoder_guard(decoder.lock);
    if (target.data == nullptr) {
        return false;
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
    if (bytes == nullptr) {
        return false;
    }
    // The packet borrows the bytes. It carries no reference-counted buffer, so libavcodec copies it
    // into a padded buffer of its own and never reads past ours.
    decoder.packet->data = const_cast<uint8_t*>(bytes);
    decoder.packet->size = static_cast<int>(packet_length);
    AVFrame& decoded = *decoder.decoded;
    int status;
    {
        TRELVO_STAGE_PROBE(PipelineStage::decode);
        status = avcodec_send_packet(decoder.codec_context.get(), decoder.packet.get());
        if (status >= 0) {
            status = avcodec_receive_frame(decoder.codec_context.get(), &decoded);
        }
    }
    decoder.packet->data = nullptr;
    decoder.packet->size = 0;
    // A damaged picture, or one of another size than the capture's, is dropped.
    const bool converted = status >= 0 && decoded_whole(decoded, width, height) &&
                           convert_decoded_picture(decoder.conversion, decoded, target);
    av_frame_unref(&decoded);
    return converted;
}

void MjpegDecoder::release() {
    decoded.reset();
    packet.reset();
    codec_context.reset();
    av_freep(&sample_copy);
    sample_copy_size = 0;
    conversion.release();
    codec = nullptr;
    width = 0;
    height = 0;
}
