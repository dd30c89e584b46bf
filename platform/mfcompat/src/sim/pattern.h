// Pictures of the simulated cameras: the test pattern drawn in BGR24 and its conversion to the
// subtype a stream was opened with.
#pragma once

#include <mfapi.h>

#include <cstdint>
#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mfcompat {
namespace sim {

constexpr uint32_t kCodeBlock = 16;  // side of one bit of the frame code, in pixels
constexpr uint32_t kCodeBits = 32;

struct Canvas {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bgr;  // stride width * 3
};

void draw_moving_pattern(Canvas& canvas, uint32_t frame_number);
void draw_solid(Canvas& canvas, uint8_t blue, uint8_t green, uint8_t red);

// Turns canvases into the bytes of one subtype. MJPG needs an encoder, which init() opens.
class FrameEncoder {
public:
    FrameEncoder(const GUID& subtype, uint32_t width, uint32_t height);
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;

    // false when the encoder cannot be set up for this size.
    bool init();
    // Empty on failure. Subtypes without a renderer get the BGR24 bytes as they are.
    std::vector<uint8_t> encode(const Canvas& canvas, int64_t frame_number);

private:
    std::vector<uint8_t> encode_mjpeg(const Canvas& canvas, int64_t frame_number);

    GUID subtype_;
    uint32_t width_;
    uint32_t height_;
    struct CodecDeleter {
        void operator()(AVCodecContext* c) const;
        void operator()(AVFrame* f) const;
        void operator()(AVPacket* p) const;
    };
    std::unique_ptr<AVCodecContext, CodecDeleter> codec_;
    std::unique_ptr<AVFrame, CodecDeleter> frame_;
    std::unique_ptr<AVPacket, CodecDeleter> packet_;
};

}  // namespace sim
}  // namespace mfcompat
