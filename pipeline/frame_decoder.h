// Turns one camera sample into an RGB24 picture of the session's size and queues it.
#pragma once

#include <mfobjects.h>

#include <cstdint>
#include <mutex>

struct AVCodec;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;
struct SwsContext;

class PyVideoCapture;

// Motion-JPEG decoding state, rebuilt when the capture size changes.
struct MjpegDecoder {
    std::mutex lock;
    const AVCodec* codec = nullptr;
    AVCodecContext* codec_context = nullptr;
    AVPacket* packet = nullptr;
    // BGR24 of width x height, owning a buffer laid out as libavutil lays out frames (aligned
    // rows, padding after the last one), which is what libswscale and libyuv may write into.
    AVFrame* output_frame = nullptr;
    int32_t width = 0;
    int32_t height = 0;

    // A sample without an end marker, copied with a tail that makes a cut-off scan fail to decode.
    uint8_t* sample_copy = nullptr;
    unsigned int sample_copy_size = 0;
    // Converter for decoded layouts libyuv has no routine for, and the layout it was built for.
    SwsContext* sws_context = nullptr;
    int32_t sws_format = -1;
    int32_t sws_full_range = -1;
    int32_t sws_matrix = -1;
    // A few ARGB rows between greyscale and BGR24.
    uint8_t* argb_rows = nullptr;
    // The picture with rows of exactly width x 3 bytes, when output_frame's rows are padded.
    uint8_t* packed = nullptr;

    // Frees everything; the next sample builds the decoder again.
    void release();
};

// Converts and queues one sample of the active camera. The caller keeps its reference to sample.
void process_sample(PyVideoCapture& session, IMFSample* sample);

// Frees the scaler, its destination frame and buffer, and resets the scaler's keys.
void release_scaler(PyVideoCapture& session);

// Bytes that libswscale may read past the end of a tightly packed source picture; a sample whose
// buffer ends closer than this is converted from a padded copy.
constexpr int64_t kSourceSlack = 256;

// The libavutil pixel format in which an uncompressed sample of this subtype arrives; -1 for a
// subtype the scaler does not take (Motion-JPEG included).
int32_t pixel_format_for_subtype(const GUID& subtype);

// Bytes of a tightly packed picture (alignment 1, chroma rounded up as libavutil does) of one of
// the uncompressed sample formats, in 64 bits; -1 for another format or a size not positive.
int64_t packed_picture_size(int32_t pixel_format, int32_t width, int32_t height);
