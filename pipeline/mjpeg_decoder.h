// Motion-JPEG samples to BGR24 pictures: libavcodec decodes, mjpeg_conversion converts.
#pragma once

#include "pipeline/libav_owners.h"

#include <cstdint>
#include <mutex>

struct AVCodec;
class PyVideoCapture;

// Motion-JPEG decoding state, rebuilt when the capture size changes.
struct MjpegDecoder {
    std::mutex lock;
    const AVCodec* codec = nullptr;
    AVCodecContextPtr codec_context;
    AVPacketPtr packet;
    // BGR24 of width x height, owning a buffer laid out as libavutil lays out frames (aligned
    // rows, padding after the last one), which is what libswscale and libyuv may write into.
    AVFramePtr output_frame;
    int32_t width = 0;
    int32_t height = 0;

    // A sample without an end marker, copied with a tail that makes a cut-off scan fail to decode.
    uint8_t* sample_copy = nullptr;
    unsigned int sample_copy_size = 0;
    // Converter for decoded layouts libyuv has no routine for, and the layout it was built for.
    SwsContextPtr sws_context;
    int32_t sws_format = -1;
    int32_t sws_full_range = -1;
    int32_t sws_matrix = -1;
    // A few ARGB rows between greyscale and BGR24.
    AVMemoryPtr argb_rows;

    // Frees everything; the next sample builds the decoder again.
    void release();
};

// Decodes a Motion-JPEG sample of the session's size and queues the picture; a damaged sample,
// or one of another size, is dropped without a word.
void decode_mjpeg(PyVideoCapture& session, const uint8_t* data, uint32_t length);
