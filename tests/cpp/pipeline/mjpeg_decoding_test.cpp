// Motion-JPEG samples through process_sample, against FFmpeg's own decode and a range-aware
// libswscale conversion of the same JPEG, and against libjpeg's decode of JPEGs libjpeg wrote.
#include "pipeline_test_support.h"

#include "pipeline/jpeg_outline.h"

#include <jpeglib.h>

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

using pipeline_test::make_guarded_sample;
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


// ---- JPEGs written and read back by libjpeg, independent of libavcodec ----------------------

enum class Layout { s420, s422, s444, s440, s411, grey };

const char* layout_name(Layout layout) {
    switch (layout) {
        case Layout::s420: return "4:2:0";
        case Layout::s422: return "4:2:2";
        case Layout::s444: return "4:4:4";
        case Layout::s440: return "4:4:0";
        case Layout::s411: return "4:1:1";
        case Layout::grey: return "grey";
    }
    return "?";
}

struct JpegOptions {
    bool progressive = false;
    int restart_rows = 0;
};

// A smooth RGB picture over most of the range, so that range and matrix mistakes show while
// chroma upsampling differences stay small.
uint8_t pattern(int x, int y, int channel, int w, int h) {
    switch (channel) {
        case 0: return static_cast<uint8_t>(10 + 235 * x / std::max(w - 1, 1));
        case 1: return static_cast<uint8_t>(240 - 220 * y / std::max(h - 1, 1));
        default: return static_cast<uint8_t>(40 + 170 * (x + y) / std::max(w + h - 2, 1));
    }
}

std::vector<uint8_t> libjpeg_encode(Layout layout, int w, int h, JpegOptions options = {}) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&cinfo, &out, &out_size);
    cinfo.image_width = w;
    cinfo.image_height = h;
    const bool grey = layout == Layout::grey;
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 92, TRUE);
    if (!grey) {
        const int factors[][2] = {{2, 2}, {2, 1}, {1, 1}, {1, 2}, {4, 1}};
        cinfo.comp_info[0].h_samp_factor = factors[static_cast<int>(layout)][0];
        cinfo.comp_info[0].v_samp_factor = factors[static_cast<int>(layout)][1];
        for (int c = 1; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
    }
    if (options.progressive) jpeg_simple_progression(&cinfo);
    cinfo.restart_in_rows = options.restart_rows;
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(w) * cinfo.input_components);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < w; ++x) {
            if (grey) {
                row[x] = pattern(x, y, 0, w, h);
            } else {
                for (int c = 0; c < 3; ++c) row[x * 3 + c] = pattern(x, y, c, w, h);
            }
        }
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> jpeg(out, out + out_size);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return jpeg;
}

// libjpeg's own decode as BGR24 rows of width x 3, with subsampled chroma repeated over the pixels it
// covers (as `djpeg -nosmooth` makes it), which is how the pipeline upsamples too.
std::vector<uint8_t> libjpeg_decode_bgr(const std::vector<uint8_t>& jpeg) {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr error;
    cinfo.err = jpeg_std_error(&error);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    cinfo.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&cinfo);
    const int w = static_cast<int>(cinfo.output_width);
    std::vector<uint8_t> bgr(static_cast<size_t>(w) * cinfo.output_height * 3);
    std::vector<uint8_t> row(static_cast<size_t>(w) * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        const size_t y = cinfo.output_scanline;
        JSAMPROW rows[] = {row.data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) bgr[(y * w + x) * 3 + c] = row[x * 3 + 2 - c];
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return bgr;
}

// Offset of the first marker with this code, or 0.
size_t marker_offset(const std::vector<uint8_t>& jpeg, uint8_t code) {
    for (size_t i = 2; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == code) return i;
    }
    return 0;
}

// Where the entropy-coded data of the first scan begins.
size_t scan_data_offset(const std::vector<uint8_t>& jpeg) {
    const size_t sos = marker_offset(jpeg, 0xDA);
    return sos + 2 + ((jpeg[sos + 2] << 8) | jpeg[sos + 3]);
}

std::vector<uint8_t> without_huffman_tables(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + 2);
    size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        const uint8_t marker = jpeg[at + 1];
        const size_t length = (jpeg[at + 2] << 8) | jpeg[at + 3];
        if (marker == 0xDA) {
            out.insert(out.end(), jpeg.begin() + at, jpeg.end());
            break;
        }
        if (marker != 0xC4) out.insert(out.end(), jpeg.begin() + at, jpeg.begin() + at + 2 + length);
        at += 2 + length;
    }
    return out;
}

int64_t decoded_frames(const AVCodecContext& context) {
#if LIBAVCODEC_VERSION_MAJOR >= 60
    return context.frame_num;
#else
    return context.frame_number;
#endif
}

// The one picture a sample queues, or nothing.
std::vector<uint8_t> relay_one(PyVideoCapture& session, const std::vector<uint8_t>& bytes) {
    process_sample(session, make_guarded_sample(bytes).Get());
    auto taken = take_all(session);
    EXPECT_LE(taken.size(), 1u);
    return taken.empty() ? std::vector<uint8_t>{} : taken[0].bytes;
}

TEST_F(MjpegDecodingTest, EveryLayoutMatchesLibjpegsDecode) {
    // Only the two decoders' IDCTs and rounding differ; a range or matrix mistake costs far more
    // (see the full-range test above).
    for (Layout layout : {Layout::s420, Layout::s422, Layout::s444, Layout::s440, Layout::s411, Layout::grey}) {
        for (auto [w, h] : {std::pair{kWidth, kHeight}, std::pair{33, 17}}) {
            SCOPED_TRACE(std::string(layout_name(layout)) + " " + std::to_string(w) + "x" + std::to_string(h));
            session.width = w;
            session.height = h;
            const auto jpeg = libjpeg_encode(layout, w, h);
            const auto ours = relay_one(session, jpeg);
            ASSERT_EQ(ours.size(), static_cast<size_t>(w) * h * 3);
            const Accuracy accuracy = measure(ours, libjpeg_decode_bgr(jpeg));
            std::printf("[ accuracy ] %s %dx%d against libjpeg: PSNR %.2f dB, max %d\n", layout_name(layout), w, h,
                        accuracy.psnr, accuracy.max_error);
            EXPECT_GE(accuracy.psnr, 50.0);
            EXPECT_LE(accuracy.max_error, 4);
        }
    }
}

TEST_F(MjpegDecodingTest, CutOrCorruptJpegsAreDroppedAndWholeOnesShowUnchanged) {
    ::testing::internal::CaptureStderr();
    const JpegOptions baseline;
    JpegOptions restarts;
    restarts.restart_rows = 1;
    JpegOptions progressive;
    progressive.progressive = true;
    for (auto [name, options] : {std::pair{"baseline", baseline}, std::pair{"restart markers", restarts},
                                 std::pair{"progressive", progressive}}) {
        SCOPED_TRACE(name);
        const auto jpeg = libjpeg_encode(Layout::s420, kWidth, kHeight, options);
        const auto whole = relay_one(session, jpeg);
        ASSERT_FALSE(whole.empty());
        // Missing only its end marker, the JPEG is whole and shows as it is.
        EXPECT_EQ(relay_one(session, std::vector<uint8_t>(jpeg.begin(), jpeg.end() - 2)), whole);

        // Cut anywhere else, in a buffer of its own length or padded with zeros as some cameras
        // pad theirs: dropped, or (when only padding bits were lost) exactly the whole picture.
        int dropped = 0;
        int shown = 0;
        for (size_t cut = scan_data_offset(jpeg); cut + 2 < jpeg.size(); ++cut) {
            for (size_t zeros : {0, 256}) {
                std::vector<uint8_t> sample(jpeg.begin(), jpeg.begin() + cut);
                sample.resize(cut + zeros, 0x00);
                const auto picture = relay_one(session, sample);
                if (picture.empty()) {
                    ++dropped;
                } else {
                    ++shown;
                    EXPECT_EQ(picture, whole) << "cut at " << cut << " of " << jpeg.size() << ", zeros " << zeros;
                }
            }
        }
        std::printf("[ damage   ] %s: %d cut points dropped, %d shown whole\n", name, dropped, shown);
        EXPECT_GT(dropped, 10 * shown);

        // An end marker, or a run of bytes no Huffman code matches, in the middle of the scan.
        const size_t middle = (scan_data_offset(jpeg) + jpeg.size()) / 2;
        auto early_end = jpeg;
        early_end.insert(early_end.begin() + middle, {0xFF, 0xD9});
        EXPECT_TRUE(relay_one(session, early_end).empty());
        auto garbage = jpeg;
        for (size_t i = middle; i < middle + 8; i += 2) {
            garbage[i] = 0xFF;
            garbage[i + 1] = 0x00;
        }
        EXPECT_TRUE(relay_one(session, garbage).empty());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(MjpegDecodingTest, JpegsWithoutHuffmanTablesDecodeAsWithThem) {
    for (Layout layout : {Layout::s420, Layout::s422}) {
        const auto jpeg = libjpeg_encode(layout, kWidth, kHeight);
        const auto bare = without_huffman_tables(jpeg);
        ASSERT_EQ(marker_offset(bare, 0xC4), 0u);
        ASSERT_LT(bare.size(), jpeg.size());
        const auto with_tables = relay_one(session, jpeg);
        ASSERT_FALSE(with_tables.empty());
        EXPECT_EQ(relay_one(session, bare), with_tables) << layout_name(layout);
    }
}

TEST_F(MjpegDecodingTest, FrameHeaderOfAnotherSizeIsNeverDecoded) {
    const auto jpeg = libjpeg_encode(Layout::s420, kWidth, kHeight);
    ASSERT_FALSE(relay_one(session, jpeg).empty());
    const AVCodecContext& context = *session.mjpeg_decoder->codec_context;
    const int64_t frames = decoded_frames(context);
    const size_t sof = marker_offset(jpeg, 0xC0);
    ASSERT_NE(sof, 0u);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    const std::pair<int, int> declared[] = {{0, 0}, {0, kHeight}, {kWidth, 0}, {16000, 16000}, {65535, 65535},
                                            {32, 16}, {kWidth, kHeight + 1}, {kHeight, kWidth}};
    for (auto [w, h] : declared) {
        auto other = jpeg;
        other[sof + 5] = static_cast<uint8_t>(h >> 8);
        other[sof + 6] = static_cast<uint8_t>(h & 0xFF);
        other[sof + 7] = static_cast<uint8_t>(w >> 8);
        other[sof + 8] = static_cast<uint8_t>(w & 0xFF);
        for (int i = 0; i < 50; ++i) EXPECT_TRUE(relay_one(session, other).empty()) << w << "x" << h;
    }
    // A second frame header of another size (height 0), after the right one or where the decoder
    // looks for markers inside or past another segment.
    std::vector<uint8_t> second(jpeg.begin() + sof, jpeg.begin() + sof + 2 + ((jpeg[sof + 2] << 8) | jpeg[sof + 3]));
    second[3 + 2] = 0;
    second[3 + 3] = 0;
    auto with = [&](std::initializer_list<std::vector<uint8_t>> parts) {
        auto bytes = jpeg;
        size_t at = sof;
        for (const auto& part : parts) {
            bytes.insert(bytes.begin() + at, part.begin(), part.end());
            at += part.size();
        }
        return bytes;
    };
    auto segment = [](uint8_t marker, size_t length, std::vector<uint8_t> payload) {
        payload.insert(payload.begin(), {0xFF, marker, uint8_t(length >> 8), uint8_t(length & 0xFF)});
        return payload;
    };
    auto bytes = [](size_t count, uint8_t value) { return std::vector<uint8_t>(count, value); };
    auto plus = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<uint8_t> table = plus({0x03}, bytes(64, 1));  // an index the JPEG does not use
    const std::vector<uint8_t> wide_table = plus({0x13}, bytes(64, 1));
    const std::vector<uint8_t> no_end(jpeg.begin(), jpeg.end() - 2);
    // A JFIF segment whose 1x7 thumbnail (21 bytes, the decoder searches them and the byte before)
    // ends the segment.
    auto jfif = [&](const std::vector<uint8_t>& tail) {
        const std::vector<uint8_t> fields = {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 1, 7};
        return segment(0xE0, 2 + fields.size() + 12 + tail.size(), plus(plus(fields, bytes(12, 7)), tail));
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case hidden[] = {
        {"after the right one", with({second})},
        {"after a quantisation table, inside its segment", with({segment(0xDB, 2 + 65 + second.size(), plus(table, second))})},
        // The 16-bit table takes 64 more bytes, which the walk would otherwise take for a segment.
        {"after a 16-bit table read past its segment",
         plus(no_end, plus(plus(segment(0xDB, 2 + 65, wide_table), plus({0xFF, 0xC4, 0xFF, 0xF0}, bytes(60, 1))), second))},
        {"after an application segment too short to read", with({segment(0xE0, 4, {}), second})},
        {"after an application segment longer than the sample", plus(no_end, plus(segment(0xE1, 0xFFF0, {}), second))},
        {"after a comment longer than the sample", plus(no_end, plus(segment(0xFE, 0xFFF0, {}), second))},
        {"at the last byte of an application segment",
         with({segment(0xE2, 16, plus(bytes(13, 'x'), {0xFF})), std::vector<uint8_t>(second.begin() + 1, second.end())})},
        {"after an AVI1 segment without its field", with({segment(0xE0, 6, {'A', 'V', 'I', '1'}), {0xFF, 0xC4, 0, 4}, second})},
        {"in a JFIF thumbnail", with({jfif(plus(bytes(21 + 1 - second.size(), 7), second))})},
    };
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    for (const Case& c : hidden) {
        ::testing::internal::CaptureStderr();
        for (int i = 0; i < 5; ++i) EXPECT_TRUE(relay_one(session, c.bytes).empty()) << c.name;
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.name;
    }
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(decoded_frames(context), frames);
    const auto picture = relay_one(session, jpeg);
    EXPECT_FALSE(picture.empty());
    // The same segments without a frame header in them change nothing.
    const Case harmless[] = {
        {"spare bytes after a quantisation table", with({segment(0xDB, 2 + 65 + 5, plus(table, bytes(5, 0xFF)))})},
        {"an application segment ending in 0xFF", with({segment(0xE1, 16, plus(bytes(13, 'x'), {0xFF}))})},
        {"a JFIF thumbnail", with({jfif(bytes(22, 0xFF))})},
        {"a comment", with({segment(0xFE, 2 + 9, {'C', 'S', '=', 'o', 't', 'h', 'e', 'r', 0})})},
    };
    for (const Case& c : harmless) EXPECT_EQ(relay_one(session, c.bytes), picture) << c.name;
}

TEST(JpegOutline, ReadsSizeEndAndProgressiveCompleteness) {
    const auto baseline = libjpeg_encode(Layout::s422, 40, 24);
    JpegOptions options;
    options.progressive = true;
    const auto progressive = libjpeg_encode(Layout::s420, 40, 24, options);
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        int32_t width, height;
        bool has_scan, has_end, progressive, complete;
        bool certain = true;
    };
    // A comment holding bytes that look like a marker: skipped whole between headers, but after a
    // scan the decoder may have read past the comment's marker and search its payload.
    const std::vector<uint8_t> comment = {0xFF, 0xFE, 0x00, 0x06, 0xFF, 0xC4, 0x00, 0x02};
    auto with_comment = [&](size_t at) {
        auto bytes = baseline;
        bytes.insert(bytes.begin() + at, comment.begin(), comment.end());
        return bytes;
    };
    auto cut = [](const std::vector<uint8_t>& v, size_t n) { return std::vector<uint8_t>(v.begin(), v.begin() + n); };
    const size_t last_scan = [&] {
        size_t at = 0;
        for (size_t i = 2; i + 1 < progressive.size(); ++i)
            if (progressive[i] == 0xFF && progressive[i + 1] == 0xDA) at = i;
        return at;
    }();
    const Case cases[] = {
        {"baseline", baseline, 40, 24, true, true, false, false},
        {"no end marker", cut(baseline, baseline.size() - 2), 40, 24, true, false, false, false},
        {"headers only", cut(baseline, scan_data_offset(baseline) - 4), 40, 24, false, false, false, false},
        {"progressive", progressive, 40, 24, true, true, true, true},
        {"progressive, no end marker", cut(progressive, progressive.size() - 2), 40, 24, true, false, true, true},
        {"progressive, last scan missing", cut(progressive, last_scan), 40, 24, true, false, true, false},
        // The decoder reads such a JPEG all the same, and any frame header before a start of image.
        {"no start of image", std::vector<uint8_t>(baseline.begin() + 2, baseline.end()), 40, 24, true, true, false,
         false},
        {"comment between headers", with_comment(2), 40, 24, true, true, false, false},
        {"comment right after the scan", with_comment(baseline.size() - 2), 40, 24, true, false, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const JpegOutline outline = outline_jpeg(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(outline.width, c.width);
        EXPECT_EQ(outline.height, c.height);
        EXPECT_EQ(outline.has_scan, c.has_scan);
        EXPECT_EQ(outline.has_end, c.has_end);
        EXPECT_EQ(outline.progressive, c.progressive);
        EXPECT_EQ(outline.progressive_complete, c.complete);
        EXPECT_EQ(outline.markers_certain, c.certain);
        EXPECT_TRUE(outline.sizes_agree);
    }
}

}  // namespace
