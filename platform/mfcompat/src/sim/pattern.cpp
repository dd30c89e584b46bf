#include "pattern.h"

#include <mfcompat/simulated_camera.h>

#include <libyuv/convert.h>
#include <libyuv/convert_from.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cstring>

namespace mfcompat {
namespace sim {
namespace {

// Colour bars in BGR: white, yellow, cyan, green, magenta, red, blue, black.
constexpr uint8_t kBars[8][3] = {{235, 235, 235}, {16, 235, 235}, {235, 235, 16}, {16, 235, 16},
                                 {235, 16, 235},  {16, 16, 235},  {235, 16, 16},  {16, 16, 16}};

uint32_t code_blocks_per_row(uint32_t width) { return width / kCodeBlock; }

uint32_t code_rows(uint32_t width) {
    uint32_t per_row = code_blocks_per_row(width);
    return per_row ? (kCodeBits + per_row - 1) / per_row : 0;
}

}  // namespace

void draw_solid(Canvas& canvas, uint8_t blue, uint8_t green, uint8_t red) {
    canvas.bgr.resize(size_t(canvas.width) * canvas.height * 3);
    for (size_t i = 0; i + 2 < canvas.bgr.size(); i += 3) {
        canvas.bgr[i] = blue;
        canvas.bgr[i + 1] = green;
        canvas.bgr[i + 2] = red;
    }
}

void draw_moving_pattern(Canvas& canvas, uint32_t frame_number) {
    const uint32_t w = canvas.width, h = canvas.height;
    const size_t stride = size_t(w) * 3;
    canvas.bgr.resize(stride * h);
    if (w == 0 || h == 0) return;

    // Upper three quarters: bars moving 4 px a frame; lower quarter: a moving grey ramp.
    std::vector<uint8_t> bars(stride), ramp(stride);
    const uint64_t shift = uint64_t(frame_number) * 4;
    for (uint32_t x = 0; x < w; ++x) {
        const uint8_t* c = kBars[((uint64_t(x) + shift) * 8 / w) % 8];
        std::memcpy(&bars[size_t(x) * 3], c, 3);
        uint8_t grey = uint8_t((uint64_t(x) * 255 / std::max<uint32_t>(1, w - 1) + frame_number) & 0xFF);
        ramp[size_t(x) * 3] = ramp[size_t(x) * 3 + 1] = ramp[size_t(x) * 3 + 2] = grey;
    }
    const uint32_t ramp_start = h - h / 4;
    for (uint32_t y = 0; y < h; ++y)
        std::memcpy(&canvas.bgr[y * stride], y < ramp_start ? bars.data() : ramp.data(), stride);

    // The frame code over the top rows, when the picture is big enough to hold all of it.
    const uint32_t per_row = code_blocks_per_row(w);
    const uint32_t rows = code_rows(w);
    if (rows == 0 || rows * kCodeBlock > h) return;
    for (uint32_t y = 0; y < rows * kCodeBlock; ++y)
        std::memset(&canvas.bgr[y * stride], 128, stride);
    for (uint32_t bit = 0; bit < kCodeBits; ++bit) {
        const bool one = (frame_number >> (kCodeBits - 1 - bit)) & 1;
        const uint32_t bx = (bit % per_row) * kCodeBlock, by = (bit / per_row) * kCodeBlock;
        for (uint32_t y = by; y < by + kCodeBlock; ++y)
            std::memset(&canvas.bgr[y * stride + size_t(bx) * 3], one ? 255 : 0, kCodeBlock * 3);
    }
}

int64_t decode_frame_code(const uint8_t* data, size_t size, uint32_t width, uint32_t height, size_t stride,
                          uint32_t pixel_bytes, uint32_t byte_offset) {
    if (!data || pixel_bytes == 0 || byte_offset >= pixel_bytes) return -1;
    if (stride < uint64_t(width) * pixel_bytes) return -1;
    const uint32_t per_row = code_blocks_per_row(width);
    const uint32_t rows = code_rows(width);
    if (rows == 0 || rows * kCodeBlock > height) return -1;
    uint32_t value = 0;
    for (uint32_t bit = 0; bit < kCodeBits; ++bit) {
        const uint64_t cx = (bit % per_row) * kCodeBlock + kCodeBlock / 2;
        const uint64_t cy = (bit / per_row) * kCodeBlock + kCodeBlock / 2;
        const uint64_t at = cy * stride + cx * pixel_bytes + byte_offset;
        if (at >= size) return -1;
        value = (value << 1) | (data[at] >= 128 ? 1u : 0u);
    }
    return value;
}

void FrameEncoder::CodecDeleter::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
void FrameEncoder::CodecDeleter::operator()(AVFrame* f) const { av_frame_free(&f); }
void FrameEncoder::CodecDeleter::operator()(AVPacket* p) const { av_packet_free(&p); }

FrameEncoder::FrameEncoder(const GUID& subtype, uint32_t width, uint32_t height)
    : subtype_(subtype), width_(width), height_(height) {}

FrameEncoder::~FrameEncoder() = default;

bool FrameEncoder::init() {
    if (subtype_ != MFVideoFormat_MJPG) return true;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec) return false;
    codec_.reset(avcodec_alloc_context3(codec));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!codec_ || !frame_ || !packet_) return false;
    codec_->width = int(width_);
    codec_->height = int(height_);
    codec_->pix_fmt = AV_PIX_FMT_YUVJ420P;
    codec_->color_range = AVCOL_RANGE_JPEG;
    codec_->time_base = AVRational{1, 30};
    codec_->thread_count = 1;
    codec_->flags |= AV_CODEC_FLAG_QSCALE;
    codec_->global_quality = FF_QP2LAMBDA * 3;
    if (avcodec_open2(codec_.get(), codec, nullptr) < 0) return false;
    frame_->format = AV_PIX_FMT_YUVJ420P;
    frame_->width = int(width_);
    frame_->height = int(height_);
    frame_->color_range = AVCOL_RANGE_JPEG;
    return av_frame_get_buffer(frame_.get(), 0) >= 0;
}

std::vector<uint8_t> FrameEncoder::encode_mjpeg(const Canvas& canvas, int64_t frame_number) {
    std::vector<uint8_t> out;
    if (!codec_ || av_frame_make_writable(frame_.get()) < 0) return out;
    libyuv::RGB24ToJ420(canvas.bgr.data(), int(width_ * 3), frame_->data[0], frame_->linesize[0], frame_->data[1],
                        frame_->linesize[1], frame_->data[2], frame_->linesize[2], int(width_), int(height_));
    frame_->pts = frame_number;
    frame_->quality = codec_->global_quality;
    if (avcodec_send_frame(codec_.get(), frame_.get()) < 0) return out;
    if (avcodec_receive_packet(codec_.get(), packet_.get()) < 0) return out;
    out.assign(packet_->data, packet_->data + packet_->size);
    av_packet_unref(packet_.get());
    return out;
}

std::vector<uint8_t> FrameEncoder::encode(const Canvas& canvas, int64_t frame_number) {
    const int w = int(width_), h = int(height_);
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const uint8_t* src = canvas.bgr.data();
    const int src_stride = w * 3;
    if (subtype_ == MFVideoFormat_MJPG) return encode_mjpeg(canvas, frame_number);
    if (subtype_ == MFVideoFormat_RGB24) return canvas.bgr;

    std::vector<uint8_t> y(size_t(w) * h), u(size_t(cw) * ch), v(size_t(cw) * ch);
    libyuv::RGB24ToI420(src, src_stride, y.data(), w, u.data(), cw, v.data(), cw, w, h);
    std::vector<uint8_t> out;
    if (subtype_ == MFVideoFormat_I420) {
        out.reserve(y.size() + u.size() + v.size());
        out.insert(out.end(), y.begin(), y.end());
        out.insert(out.end(), u.begin(), u.end());
        out.insert(out.end(), v.begin(), v.end());
    } else if (subtype_ == MFVideoFormat_NV12) {
        out.resize(y.size() + size_t(cw) * 2 * ch);
        libyuv::I420ToNV12(y.data(), w, u.data(), cw, v.data(), cw, out.data(), w, out.data() + y.size(), cw * 2, w, h);
    } else if (subtype_ == MFVideoFormat_YUY2) {
        out.resize(size_t(cw) * 4 * h);
        libyuv::I420ToYUY2(y.data(), w, u.data(), cw, v.data(), cw, out.data(), cw * 4, w, h);
    } else if (subtype_ == MFVideoFormat_P010) {
        // 16-bit little-endian samples with the 10 significant bits at the top; chroma interleaved.
        out.resize(y.size() * 2 + size_t(cw) * 4 * ch);
        uint8_t* dst = out.data();
        for (size_t i = 0; i < y.size(); ++i) {
            dst[2 * i] = 0;
            dst[2 * i + 1] = y[i];
        }
        uint8_t* uv = dst + y.size() * 2;
        for (size_t i = 0; i < u.size(); ++i) {
            uv[4 * i] = 0;
            uv[4 * i + 1] = u[i];
            uv[4 * i + 2] = 0;
            uv[4 * i + 3] = v[i];
        }
    } else {
        return canvas.bgr;
    }
    return out;
}

}  // namespace sim
}  // namespace mfcompat
