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
    AVFrame* output_frame = nullptr;  // plane 0: width x height x 3 bytes of BGR24, owned
    int32_t width = 0;
    int32_t height = 0;

    // Frees everything; the next sample builds the decoder again.
    void release();
};

// Converts and queues one sample of the active camera. The caller keeps its reference to sample.
void process_sample(PyVideoCapture& session, IMFSample* sample);

// Frees the scaler, its destination frame and buffer, and resets the scaler's keys.
void release_scaler(PyVideoCapture& session);

// The libavutil pixel format in which an uncompressed sample of this subtype arrives; -1 for a
// subtype the scaler does not take (Motion-JPEG included).
int32_t pixel_format_for_subtype(const GUID& subtype);

// Bytes of a tightly packed picture (alignment 1, chroma rounded up as libavutil does) of one of
// the uncompressed sample formats, in 64 bits; -1 for another format or a size not positive.
int64_t packed_picture_size(int32_t pixel_format, int32_t width, int32_t height);
