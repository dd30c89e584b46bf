// Uncompressed samples through process_sample: accuracy against an independent BT.601 reference,
// size checks, the scaler cache and the unsupported-format message.
#include "pipeline_test_support.h"

#include "pipeline/frame_decoder.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

using pipeline_test::clamp_byte;
using pipeline_test::make_guarded_sample;
using pipeline_test::make_sample;
using pipeline_test::take_all;

namespace {

enum class Raw { nv12, yuy2, i420, rgb24, p010 };

const char* raw_name(Raw f) {
    switch (f) {
        case Raw::nv12: return "NV12";
        case Raw::yuy2: return "YUY2";
        case Raw::i420: return "I420";
        case Raw::rgb24: return "RGB24";
        case Raw::p010: return "P010";
    }
    return "?";
}

GUID raw_subtype(Raw f) {
    switch (f) {
        case Raw::nv12: return MFVideoFormat_NV12;
        case Raw::yuy2: return MFVideoFormat_YUY2;
        case Raw::i420: return MFVideoFormat_I420;
        case Raw::rgb24: return MFVideoFormat_RGB24;
        case Raw::p010: return MFVideoFormat_P010;
    }
    return MFVideoFormat_RGB24;
}

// The source format comes from the subtype table, as the scaler takes it.
int32_t raw_av_format(Raw f) { return pixel_format_for_subtype(raw_subtype(f)); }

// A camera picture and the BGR24 picture that limited-range BT.601 makes of it.
struct RawPicture {
    std::vector<uint8_t> sample;
    std::vector<uint8_t> expected_bgr;
};

uint8_t luma_at(int x, int y) { return static_cast<uint8_t>(20 + (x * 5 + y * 3) % 215); }
uint8_t u_at(int cx, int cy) { return static_cast<uint8_t>(100 + 2 * cx + cy); }
uint8_t v_at(int cx, int cy) { return static_cast<uint8_t>(170 - cx - 2 * cy); }

void bt601_limited(int y, int u, int v, uint8_t* bgr) {
    const double c = 1.164 * (y - 16);
    const double d = u - 128;
    const double e = v - 128;
    bgr[0] = clamp_byte(c + 2.018 * d);
    bgr[1] = clamp_byte(c - 0.391 * d - 0.813 * e);
    bgr[2] = clamp_byte(c + 1.596 * e);
}

void put16(std::vector<uint8_t>& out, size_t offset, uint16_t value) {
    out[offset] = static_cast<uint8_t>(value & 0xFF);
    out[offset + 1] = static_cast<uint8_t>(value >> 8);
}

RawPicture make_raw(Raw f, int w, int h) {
    RawPicture p;
    p.expected_bgr.resize(static_cast<size_t>(w) * h * 3);
    const int cw = (w + 1) / 2;
    const int ch = (h + 1) / 2;
    if (f == Raw::rgb24) {
        p.sample.resize(static_cast<size_t>(w) * h * 3);
        for (size_t i = 0; i < p.sample.size(); ++i) p.sample[i] = static_cast<uint8_t>((i * 131 + i / 7) & 0xFF);
        p.expected_bgr = p.sample;
        return p;
    }
    const bool vertical_chroma_full = f == Raw::yuy2;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int cy = vertical_chroma_full ? y : y / 2;
            bt601_limited(luma_at(x, y), u_at(x / 2, cy), v_at(x / 2, cy),
                          &p.expected_bgr[(static_cast<size_t>(y) * w + x) * 3]);
        }
    }
    switch (f) {
        case Raw::nv12:
        case Raw::i420: {
            p.sample.resize(static_cast<size_t>(w) * h + 2u * cw * ch);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) p.sample[static_cast<size_t>(y) * w + x] = luma_at(x, y);
            const size_t chroma = static_cast<size_t>(w) * h;
            for (int cy = 0; cy < ch; ++cy) {
                for (int cx = 0; cx < cw; ++cx) {
                    if (f == Raw::nv12) {
                        p.sample[chroma + (static_cast<size_t>(cy) * cw + cx) * 2] = u_at(cx, cy);
                        p.sample[chroma + (static_cast<size_t>(cy) * cw + cx) * 2 + 1] = v_at(cx, cy);
                    } else {
                        p.sample[chroma + static_cast<size_t>(cy) * cw + cx] = u_at(cx, cy);
                        p.sample[chroma + static_cast<size_t>(cw) * ch + static_cast<size_t>(cy) * cw + cx] =
                            v_at(cx, cy);
                    }
                }
            }
            break;
        }
        case Raw::yuy2: {
            const size_t stride = static_cast<size_t>(cw) * 4;
            p.sample.resize(stride * h);
            for (int y = 0; y < h; ++y) {
                for (int k = 0; k < cw; ++k) {
                    uint8_t* group = &p.sample[y * stride + k * 4];
                    group[0] = luma_at(2 * k, y);
                    group[1] = u_at(k, y);
                    group[2] = luma_at(std::min(2 * k + 1, w - 1), y);
                    group[3] = v_at(k, y);
                }
            }
            break;
        }
        case Raw::p010: {
            // Ten significant bits at the top of each little-endian 16-bit word.
            const size_t luma_bytes = static_cast<size_t>(w) * h * 2;
            p.sample.resize(luma_bytes + static_cast<size_t>(cw) * ch * 4);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    put16(p.sample, (static_cast<size_t>(y) * w + x) * 2, static_cast<uint16_t>(luma_at(x, y) << 8));
            for (int cy = 0; cy < ch; ++cy) {
                for (int cx = 0; cx < cw; ++cx) {
                    const size_t at = luma_bytes + (static_cast<size_t>(cy) * cw + cx) * 4;
                    put16(p.sample, at, static_cast<uint16_t>(u_at(cx, cy) << 8));
                    put16(p.sample, at + 2, static_cast<uint16_t>(v_at(cx, cy) << 8));
                }
            }
            break;
        }
        case Raw::rgb24:
            break;
    }
    return p;
}

struct ErrorStats {
    int max_error = 0;
    double mean_error = 0;
};

ErrorStats compare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    ErrorStats s;
    if (a.size() != b.size() || a.empty()) {
        s.max_error = 256;
        return s;
    }
    uint64_t total = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const int d = std::abs(int(a[i]) - int(b[i]));
        s.max_error = std::max(s.max_error, d);
        total += static_cast<uint64_t>(d);
    }
    s.mean_error = double(total) / double(a.size());
    return s;
}

class RawConversionTest : public ::testing::TestWithParam<Raw> {
protected:
    void configure(Raw f, int w, int h) {
        session.subtype = raw_subtype(f);
        session.width = w;
        session.height = h;
    }
    PyVideoCapture session;
};

// libswscale's unscaled YUV to RGB paths use fixed-point tables and may take the chroma sample
// of the neighbouring column; this picture's chroma changes by at most 2 per sample, so a
// correct conversion stays within a few levels of the exact BT.601 values.
constexpr int kMaxLevelError = 5;
constexpr double kMaxMeanError = 1.5;

TEST_P(RawConversionTest, MatchesBt601ReferenceAtEvenAndOddSizes) {
    const Raw f = GetParam();
    for (auto [w, h] : {std::pair{64, 48}, std::pair{33, 17}}) {
        SCOPED_TRACE(std::string(raw_name(f)) + " " + std::to_string(w) + "x" + std::to_string(h));
        configure(f, w, h);
        const RawPicture p = make_raw(f, w, h);
        ASSERT_EQ(static_cast<int64_t>(p.sample.size()), packed_picture_size(raw_av_format(f), w, h));
        auto sample = make_sample(p.sample);
        process_sample(session, sample.Get());
        auto taken = take_all(session);
        ASSERT_EQ(taken.size(), 1u);
        EXPECT_EQ(taken[0].width, w);
        EXPECT_EQ(taken[0].height, h);
        EXPECT_EQ(taken[0].stride, w * 3);
        ASSERT_EQ(taken[0].bytes.size(), static_cast<size_t>(w) * h * 3);
        const ErrorStats s = compare(taken[0].bytes, p.expected_bgr);
        if (f == Raw::rgb24) {
            EXPECT_EQ(s.max_error, 0);
        } else {
            EXPECT_LE(s.max_error, kMaxLevelError);
            EXPECT_LE(s.mean_error, kMaxMeanError);
        }
        std::printf("[ accuracy ] %s %dx%d: max %d mean %.3f\n", raw_name(f), w, h, s.max_error, s.mean_error);
    }
}

TEST_P(RawConversionTest, ShortSampleIsDroppedAndExactOneQueued) {
    const Raw f = GetParam();
    for (auto [w, h] : {std::pair{64, 48}, std::pair{33, 17}}) {
        configure(f, w, h);
        RawPicture p = make_raw(f, w, h);
        std::vector<uint8_t> short_bytes(p.sample.begin(), p.sample.end() - 1);
        process_sample(session, make_sample(short_bytes).Get());
        process_sample(session, make_sample({}, 64).Get());
        EXPECT_FALSE(frames_waiting(session)) << raw_name(f) << " " << w << "x" << h;
        // The length is what counts, not the capacity behind it.
        process_sample(session, make_sample(short_bytes, p.sample.size() * 2).Get());
        EXPECT_FALSE(frames_waiting(session));
        process_sample(session, make_sample(p.sample).Get());
        EXPECT_EQ(take_all(session).size(), 1u);
    }
}

// Sizes at which libswscale's vector code reads past a packed sample and writes past a packed
// BGR24 picture (widths below 16, or with width mod 16 >= 8), common camera sizes among them.
// Each runs in a few sessions of one process: heap damage from a write past a picture shows up
// when a later session frees its buffers. The picture must be the one the same bytes give from a
// roomy buffer (accuracy itself is the test above).
TEST_P(RawConversionTest, SamplesEndingAtAGuardPageConvertAtEverySize) {
    const Raw f = GetParam();
    const std::pair<int, int> sizes[] = {{424, 240}, {176, 144}, {360, 640}, {321, 241}, {16, 8},
                                         {8, 8},     {24, 8},    {1, 8},     {2, 2},     {1, 1}};
    for (auto [w, h] : sizes) {
        SCOPED_TRACE(std::string(raw_name(f)) + " " + std::to_string(w) + "x" + std::to_string(h));
        const RawPicture p = make_raw(f, w, h);
        configure(f, w, h);
        process_sample(session, make_sample(p.sample, p.sample.size() + 4096).Get());
        const auto roomy = take_all(session);
        ASSERT_EQ(roomy.size(), 1u);
        for (int round = 0; round < 3; ++round) {
            PyVideoCapture fresh;
            fresh.subtype = raw_subtype(f);
            fresh.width = w;
            fresh.height = h;
            auto sample = make_guarded_sample(p.sample);
            ASSERT_TRUE(sample);
            process_sample(fresh, sample.Get());
            process_sample(fresh, sample.Get());
            auto taken = take_all(fresh);
            ASSERT_EQ(taken.size(), 2u);
            ASSERT_EQ(taken[1].stride, w * 3);
            ASSERT_EQ(taken[1].bytes.size(), static_cast<size_t>(w) * h * 3);
            EXPECT_EQ(taken[1].bytes, roomy[0].bytes);
            if (w <= 64) {
                EXPECT_LE(compare(taken[1].bytes, p.expected_bgr).max_error, f == Raw::rgb24 ? 0 : kMaxLevelError);
            }
        }
    }
}

TEST_P(RawConversionTest, SampleIsCopiedOnlyWhenItsBufferEndsTooClose) {
    const Raw f = GetParam();
    configure(f, 33, 17);
    const RawPicture p = make_raw(f, 33, 17);
    process_sample(session, make_sample(p.sample, p.sample.size() + kSourceSlack).Get());
    EXPECT_EQ(session.raw_converter.sample_copy, nullptr);  // read in place
    process_sample(session, make_sample(p.sample, p.sample.size() + kSourceSlack - 1).Get());
    EXPECT_NE(session.raw_converter.sample_copy, nullptr);
    const auto taken = take_all(session);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].bytes, taken[1].bytes);
}

INSTANTIATE_TEST_SUITE_P(Formats, RawConversionTest,
                         ::testing::Values(Raw::nv12, Raw::yuy2, Raw::i420, Raw::rgb24, Raw::p010),
                         [](const ::testing::TestParamInfo<Raw>& info) { return std::string(raw_name(info.param)); });

TEST(RawSampleSize, AgreesWithLibavutilForPackedLayouts) {
    for (Raw f : {Raw::nv12, Raw::yuy2, Raw::i420, Raw::rgb24, Raw::p010}) {
        for (int w : {1, 2, 3, 17, 64}) {
            for (int h : {1, 2, 5, 48}) {
                const int expected = av_image_get_buffer_size(static_cast<AVPixelFormat>(raw_av_format(f)), w, h, 1);
                EXPECT_EQ(packed_picture_size(raw_av_format(f), w, h), expected) << raw_name(f) << " " << w << "x" << h;
            }
        }
    }
    EXPECT_EQ(packed_picture_size(AV_PIX_FMT_BGR24, 0, 10), -1);
    EXPECT_EQ(packed_picture_size(AV_PIX_FMT_NV12, 10, -1), -1);
    EXPECT_EQ(packed_picture_size(AV_PIX_FMT_GRAY8, 10, 10), -1);
    EXPECT_EQ(pixel_format_for_subtype(MFVideoFormat_MJPG), -1);  // decoded, never scaled
    // Sizes beyond 32 bits stay exact.
    EXPECT_EQ(packed_picture_size(AV_PIX_FMT_BGR24, 65536, 65536), int64_t(65536) * 65536 * 3);
}

class ScalerPathTest : public ::testing::Test {
protected:
    PyVideoCapture session;
};

TEST_F(ScalerPathTest, UnknownSubtypePrintsOncePerSampleAndQueuesNothing) {
    GUID h264 = MFVideoFormat_NV12;
    h264.Data1 = 0x34363248;  // 'H264'
    session.subtype = h264;
    session.width = 8;
    session.height = 8;
    std::vector<uint8_t> bytes(8 * 8 * 3, 0x40);
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) process_sample(session, make_sample(bytes).Get());
    std::fflush(stdout);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "Unsupported format!\nUnsupported format!\nUnsupported format!\n");
    EXPECT_FALSE(frames_waiting(session));
    EXPECT_EQ(session.raw_converter.sws_context, nullptr);
}

TEST_F(ScalerPathTest, SilentDropsPrintNothing) {
    session.subtype = MFVideoFormat_NV12;
    session.width = 16;
    session.height = 16;
    ::testing::internal::CaptureStdout();
    process_sample(session, make_sample(std::vector<uint8_t>(10)).Get());  // short
    session.width = 0;
    process_sample(session, make_sample(std::vector<uint8_t>(400)).Get());  // no size
    session.width = 1 << 20;
    session.height = 1 << 20;
    process_sample(session, make_sample(std::vector<uint8_t>(400)).Get());  // beyond 32-bit sizes
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(frames_waiting(session));
}

TEST_F(ScalerPathTest, RebuildsOnlyWhenFormatOrSizeChanges) {
    int marker = 0;
    auto feed = [&](Raw f, int w, int h) {
        session.subtype = raw_subtype(f);
        session.width = w;
        session.height = h;
        process_sample(session, make_sample(make_raw(f, w, h).sample).Get());
        EXPECT_EQ(take_all(session).size(), 1u);
    };
    feed(Raw::nv12, 32, 16);
    ASSERT_NE(session.raw_converter.sws_context, nullptr);
    EXPECT_EQ(session.raw_converter.last_pixel_format, AV_PIX_FMT_NV12);
    EXPECT_EQ(session.raw_converter.dst_frame->width, 32);
    EXPECT_EQ(session.raw_converter.dst_frame->height, 16);
    // A rebuild replaces dst_frame, whose opaque field the pipeline never sets.
    session.raw_converter.dst_frame->opaque = &marker;
    feed(Raw::nv12, 32, 16);
    feed(Raw::nv12, 32, 16);
    EXPECT_EQ(session.raw_converter.dst_frame->opaque, &marker);

    feed(Raw::yuy2, 32, 16);
    EXPECT_EQ(session.raw_converter.dst_frame->opaque, nullptr);
    EXPECT_EQ(session.raw_converter.last_pixel_format, AV_PIX_FMT_YUYV422);
    session.raw_converter.dst_frame->opaque = &marker;
    feed(Raw::yuy2, 32, 16);
    EXPECT_EQ(session.raw_converter.dst_frame->opaque, &marker);

    feed(Raw::yuy2, 32, 18);
    EXPECT_EQ(session.raw_converter.dst_frame->opaque, nullptr);
    EXPECT_EQ(session.raw_converter.last_height, 18);
    EXPECT_EQ(session.raw_converter.dst_frame->height, 18);

    session.raw_converter.release();
    EXPECT_EQ(session.raw_converter.sws_context, nullptr);
    EXPECT_EQ(session.raw_converter.dst_frame, nullptr);
    EXPECT_EQ(session.raw_converter.last_pixel_format, -1);
    EXPECT_EQ(session.raw_converter.last_width, 0);
    feed(Raw::yuy2, 32, 18);
    EXPECT_NE(session.raw_converter.sws_context, nullptr);
}

TEST_F(ScalerPathTest, TwoWorkersAtOnceProduceWholePictures) {
    session.subtype = MFVideoFormat_I420;
    session.width = 48;
    session.height = 32;
    const RawPicture p = make_raw(Raw::i420, 48, 32);
    auto sample = make_sample(p.sample);
    std::atomic<bool> stop{false};
    std::vector<std::vector<uint8_t>> seen;
    std::thread consumer([&] {
        while (!stop.load() || frames_waiting(session)) {
            if (auto frame = pop_frame(session)) {
                seen.emplace_back(frame->data, frame->data + size_t(frame->height) * frame->stride);
                std::free(frame->data);
            } else {
                std::this_thread::yield();
            }
        }
    });
    auto worker = [&] {
        for (int i = 0; i < 40; ++i) process_sample(session, sample.Get());
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    stop = true;
    consumer.join();
    ASSERT_FALSE(seen.empty());
    for (const auto& picture : seen) {
        const ErrorStats s = compare(picture, p.expected_bgr);
        EXPECT_LE(s.max_error, kMaxLevelError);
    }
}

}  // namespace
