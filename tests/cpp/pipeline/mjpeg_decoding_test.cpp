// Motion-JPEG samples through process_sample, against FFmpeg's own decode and a range-aware
// libswscale conversion of the same JPEG.
#include "pipeline_test_support.h"

#include "pipeline/frame_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/common.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <libyuv/convert_argb.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

using pipeline_test::make_sample;
using pipeline_test::take_all;

namespace {

// A smooth picture that spans the whole 0..255 range, so that a range mistake shows.
uint8_t y_value(int x, int y, int w, int h) { return static_cast<uint8_t>((x * 255 / (w - 1) + y * 255 / (h - 1)) / 2); }
uint8_t u_value(int x, int y, int w, int h) { return static_cast<uint8_t>(64 + x * 128 / w); }
uint8_t v_value(int x, int y, int w, int h) { return static_cast<uint8_t>(192 - y * 128 / h); }

std::vector<uint8_t> encode_jpeg(AVPixelFormat format, int w, int h, AVCodecID codec_id = AV_CODEC_ID_MJPEG) {
    std::vector<uint8_t> jpeg;
    const AVCodec* codec = avcodec_find_encoder(codec_id);
    if (codec == nullptr) return jpeg;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = format;
    ctx->time_base = AVRational{1, 25};
    ctx->color_range = AVCOL_RANGE_JPEG;
    ctx->flags |= AV_CODEC_FLAG_QSCALE;
    ctx->global_quality = FF_QP2LAMBDA * 2;
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return jpeg;
    }
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = w;
    frame->height = h;
    frame->quality = ctx->global_quality;
    av_frame_get_buffer(frame, 0);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) frame->data[0][y * frame->linesize[0] + x] = y_value(x, y, w, h);
    if (desc->nb_components >= 3) {
        const int cw = AV_CEIL_RSHIFT(w, desc->log2_chroma_w);
        const int ch = AV_CEIL_RSHIFT(h, desc->log2_chroma_h);
        for (int y = 0; y < ch; ++y) {
            for (int x = 0; x < cw; ++x) {
                frame->data[1][y * frame->linesize[1] + x] =
                    u_value(x << desc->log2_chroma_w, y << desc->log2_chroma_h, w, h);
                frame->data[2][y * frame->linesize[2] + x] =
                    v_value(x << desc->log2_chroma_w, y << desc->log2_chroma_h, w, h);
            }
        }
    }
    AVPacket* packet = av_packet_alloc();
    if (avcodec_send_frame(ctx, frame) >= 0 && avcodec_receive_packet(ctx, packet) >= 0) {
        jpeg.assign(packet->data, packet->data + packet->size);
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return jpeg;
}

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// FFmpeg's own decode of the JPEG, independent of the pipeline's decoder.
FramePtr reference_decode(const std::vector<uint8_t>& jpeg) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    FramePtr frame(av_frame_alloc());
    bool ok = avcodec_open2(ctx, codec, nullptr) >= 0;
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, static_cast<int>(jpeg.size()));
    std::memcpy(packet->data, jpeg.data(), jpeg.size());
    ok = ok && avcodec_send_packet(ctx, packet) >= 0 && avcodec_receive_frame(ctx, frame.get()) >= 0;
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    if (!ok) return nullptr;
    return frame;
}

// libswscale's BGR24 of a decoded JPEG, told explicitly that the source is full range.
std::vector<uint8_t> reference_bgr(const AVFrame& decoded) {
    AVPixelFormat format = static_cast<AVPixelFormat>(decoded.format);
    if (format == AV_PIX_FMT_YUVJ420P) format = AV_PIX_FMT_YUV420P;
    if (format == AV_PIX_FMT_YUVJ422P) format = AV_PIX_FMT_YUV422P;
    const int w = decoded.width;
    const int h = decoded.height;
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
    SwsContext* sws = sws_getContext(w, h, format, w, h, AV_PIX_FMT_BGR24, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr,
                                     nullptr, nullptr);
    if (sws == nullptr) return {};
    const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(sws, bt601, 1, bt601, 1, 0, 1 << 16, 1 << 16);
    uint8_t* dst[4] = {out.data(), nullptr, nullptr, nullptr};
    int dst_stride[4] = {w * 3, 0, 0, 0};
    sws_scale(sws, decoded.data, decoded.linesize, 0, h, dst, dst_stride);
    sws_freeContext(sws);
    return out;
}

// What the conversion gives when the JPEG is wrongly treated as limited range.
std::vector<uint8_t> limited_range_bgr(const AVFrame& decoded) {
    const int w = decoded.width;
    const int h = decoded.height;
    std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3);
    const bool is422 = decoded.format == AV_PIX_FMT_YUVJ422P || decoded.format == AV_PIX_FMT_YUV422P;
    auto convert = is422 ? libyuv::I422ToRGB24 : libyuv::I420ToRGB24;
    convert(decoded.data[0], decoded.linesize[0], decoded.data[1], decoded.linesize[1], decoded.data[2],
            decoded.linesize[2], out.data(), w * 3, w, h);
    return out;
}

struct Accuracy {
    double psnr = 0;
    int max_error = 0;
};

Accuracy measure(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    Accuracy result;
    if (a.size() != b.size() || a.empty()) return result;
    double squared = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int d = int(a[i]) - int(b[i]);
        squared += double(d) * d;
        result.max_error = std::max(result.max_error, std::abs(d));
    }
    const double mse = squared / double(a.size());
    result.psnr = mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
    return result;
}

class MjpegDecodingTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The corrupt samples below make libavcodec complain on stderr; that is expected.
        av_log_set_level(AV_LOG_QUIET);
        session.subtype = MFVideoFormat_MJPG;
        session.width = kWidth;
        session.height = kHeight;
    }
    static constexpr int kWidth = 64;
    static constexpr int kHeight = 48;
    PyVideoCapture session;
};

TEST_F(MjpegDecodingTest, FullRangeJpegsMatchTheRangeAwareReference) {
    for (AVPixelFormat format : {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P}) {
        const std::string name = av_get_pix_fmt_name(format);
        SCOPED_TRACE(name);
        const auto jpeg = encode_jpeg(format, kWidth, kHeight);
        ASSERT_FALSE(jpeg.empty());
        FramePtr decoded = reference_decode(jpeg);
        ASSERT_TRUE(decoded);
        const auto reference = reference_bgr(*decoded);
        ASSERT_FALSE(reference.empty());

        process_sample(session, make_sample(jpeg).Get());
        auto taken = take_all(session);
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].width, kWidth);
        EXPECT_EQ(taken[0].height, kHeight);
        EXPECT_EQ(taken[0].stride, kWidth * 3);

        const Accuracy mended = measure(taken[0].bytes, reference);
        const Accuracy limited = measure(limited_range_bgr(*decoded), reference);
        std::printf("[ accuracy ] %s: full-range path PSNR %.2f dB max %d; limited-range handling PSNR %.2f dB max %d\n",
                    name.c_str(), mended.psnr, mended.max_error, limited.psnr, limited.max_error);
        EXPECT_GE(mended.psnr, 38.0);
        EXPECT_LE(mended.max_error, 8);
        // The limited-range reading is measurably worse; the test would catch a return to it.
        EXPECT_LT(limited.psnr, mended.psnr - 6.0);
    }
}

TEST_F(MjpegDecodingTest, FourFourFourAndGreyJpegsQueueAPicture) {
    const auto yuv444 = encode_jpeg(AV_PIX_FMT_YUVJ444P, kWidth, kHeight);
    const auto grey = encode_jpeg(AV_PIX_FMT_GRAY8, kWidth, kHeight, AV_CODEC_ID_JPEGLS);
    ASSERT_FALSE(yuv444.empty());
    ASSERT_FALSE(grey.empty());
    process_sample(session, make_sample(yuv444).Get());
    process_sample(session, make_sample(grey).Get());
    EXPECT_EQ(take_all(session).size(), 2u);
}

TEST_F(MjpegDecodingTest, BadSamplesAreDroppedSilentlyAndTheDecoderKeepsWorking) {
    const auto jpeg = encode_jpeg(AV_PIX_FMT_YUVJ420P, kWidth, kHeight);
    ASSERT_GT(jpeg.size(), 200u);
    ::testing::internal::CaptureStdout();

    // Zero length before any decoder exists: nothing is built.
    process_sample(session, make_sample({}, 32).Get());
    EXPECT_EQ(session.mjpeg_decoder->codec_context, nullptr);

    // Garbage: no picture.
    std::vector<uint8_t> garbage(jpeg.size());
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 11);
    process_sample(session, make_sample(garbage).Get());
    EXPECT_FALSE(frames_waiting(session));

    // Headers only, and a cut-off scan: must not read past the sample, whatever libavcodec makes of it.
    process_sample(session, make_sample(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + 20)).Get());
    process_sample(session, make_sample(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + jpeg.size() / 2)).Get());
    for (const auto& frame : take_all(session)) {
        EXPECT_EQ(frame.bytes.size(), size_t(kWidth) * kHeight * 3);
    }

    // A JPEG of another size than the capture's is dropped; the decoder stays as it was built.
    int marker = 0;
    ASSERT_NE(session.mjpeg_decoder->codec_context, nullptr);
    session.mjpeg_decoder->codec_context->opaque = &marker;
    process_sample(session, make_sample(encode_jpeg(AV_PIX_FMT_YUVJ420P, 32, 16)).Get());
    process_sample(session, make_sample(encode_jpeg(AV_PIX_FMT_YUVJ420P, 128, 96)).Get());
    EXPECT_FALSE(frames_waiting(session));
    process_sample(session, make_sample({}, 32).Get());
    EXPECT_FALSE(frames_waiting(session));

    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    // After all that, a good JPEG still comes out right.
    process_sample(session, make_sample(jpeg).Get());
    auto taken = take_all(session);
    ASSERT_EQ(taken.size(), 1u);
    FramePtr decoded = reference_decode(jpeg);
    ASSERT_TRUE(decoded);
    EXPECT_GE(measure(taken[0].bytes, reference_bgr(*decoded)).psnr, 38.0);
    EXPECT_EQ(session.mjpeg_decoder->codec_context->opaque, &marker);
}

TEST_F(MjpegDecodingTest, DecoderIsRebuiltOnlyWhenTheCaptureSizeChanges) {
    const auto big = encode_jpeg(AV_PIX_FMT_YUVJ422P, kWidth, kHeight);
    const auto small = encode_jpeg(AV_PIX_FMT_YUVJ420P, 32, 16);
    MjpegDecoder& decoder = *session.mjpeg_decoder;
    int marker = 0;

    process_sample(session, make_sample(big).Get());
    ASSERT_NE(decoder.codec_context, nullptr);
    EXPECT_EQ(decoder.width, kWidth);
    EXPECT_EQ(decoder.height, kHeight);
    ASSERT_NE(decoder.output_frame, nullptr);
    EXPECT_EQ(decoder.output_frame->linesize[0], kWidth * 3);
    // A rebuild makes a new context, whose opaque field starts out null.
    decoder.codec_context->opaque = &marker;
    for (int i = 0; i < 3; ++i) process_sample(session, make_sample(big).Get());
    EXPECT_EQ(decoder.codec_context->opaque, &marker);
    EXPECT_EQ(take_all(session).size(), 2u);  // the queue holds the two newest

    session.width = 32;
    session.height = 16;
    process_sample(session, make_sample(small).Get());
    ASSERT_NE(decoder.codec_context, nullptr);
    EXPECT_EQ(decoder.codec_context->opaque, nullptr);
    EXPECT_EQ(decoder.width, 32);
    EXPECT_EQ(decoder.height, 16);
    auto taken = take_all(session);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].bytes.size(), 32u * 16u * 3u);

    decoder.release();
    EXPECT_EQ(decoder.codec_context, nullptr);
    EXPECT_EQ(decoder.packet, nullptr);
    EXPECT_EQ(decoder.output_frame, nullptr);
    EXPECT_EQ(decoder.codec, nullptr);
    EXPECT_EQ(decoder.width, 0);
    process_sample(session, make_sample(small).Get());
    EXPECT_EQ(take_all(session).size(), 1u);
}

TEST_F(MjpegDecodingTest, ImpossibleCaptureSizesAreDroppedWithoutBuilding) {
    const auto jpeg = encode_jpeg(AV_PIX_FMT_YUVJ420P, kWidth, kHeight);
    for (auto [w, h] : {std::pair{0, 48}, std::pair{64, -1}, std::pair{40000, 40000}}) {
        session.width = w;
        session.height = h;
        process_sample(session, make_sample(jpeg).Get());
        EXPECT_FALSE(frames_waiting(session));
        EXPECT_EQ(session.mjpeg_decoder->codec_context, nullptr);
    }
}

}  // namespace
