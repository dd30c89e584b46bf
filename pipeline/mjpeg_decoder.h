// Motion-JPEG samples to BGR24 pictures: libavcodec decodes, mjpeg_conversion converts.
#pragma once

#include "pipeline/bgr24_picture.h"
#include "pipeline/libav_owners.h"
#include "pipeline/mjpeg_conversion.h"

#include <cstdint>
#include <mutex>

struct AVCodec;

// Motion-JPEG decoding state, rebuilt when the capture size changes.
struct MjpegDecoder {
    std::mutex lock;
    const AVCodec* codec = nullptr;
    AVCodecContextPtr codec_context;
    AVPacketPtr packet;
    // The decoded picture; its buffers go back to libavcodec's pool after each conversion.
    AVFramePtr decoded;
    int32_t width = 0;
    int32_t height = 0;

    // A sample without an end marker, copied with a tail that makes a cut-off scan fail to decode.
    uint8_t* sample_copy = nullptr;
    unsigned int sample_copy_size = 0;
    MjpegConversion conversion;

    // Frees everything; the next sample builds the decoder again.
    void release();
};

// Decodes a Motion-JPEG sample of target.width x target.height into the target; false, with the
// target's contents unspecified, for a damaged sample or one of another size.
bool decode_mjpeg(MjpegDecoder& decoder, const uint8_t* data, uint32_t length, const PictureTarget& target);
