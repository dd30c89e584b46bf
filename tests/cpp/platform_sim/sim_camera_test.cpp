// Simulated cameras seen through the Media Foundation objects: enumeration, opening, reads,
// faults, scripts, waking blocked reads, unplugging and the C interface.
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <mfcompat/platform_counters.h>
#include <mfcompat/simulated_camera.h>
#include <mfcompat/simulated_camera_c.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

using Microsoft::WRL::ComPtr;
namespace sim = mfcompat::sim;
using namespace std::chrono;

namespace {

const GUID kOddSubtype = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};

class SimCameraTest : public ::testing::Test {
protected:
    void SetUp() override { sim::remove_all_cameras(); }
    void TearDown() override { sim::remove_all_cameras(); }
};

struct Device {
    std::u16string name, link;
    HRESULT name_hr = S_OK, link_hr = S_OK;
    ComPtr<IMFActivate> activate;
};

std::vector<Device> enumerate() {
    std::vector<Device> out;
    ComPtr<IMFAttributes> attributes;
    EXPECT_EQ(MFCreateAttributes(attributes.GetAddressOf(), 1), S_OK);
    attributes->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    IMFActivate** array = nullptr;
    UINT32 count = 0;
    EXPECT_EQ(MFEnumDeviceSources(attributes.Get(), &array, &count), S_OK);
    for (UINT32 i = 0; i < count; ++i) {
        Device d;
        LPWSTR text = nullptr;
        d.name_hr = array[i]->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, &text, nullptr);
        if (text) d.name = text;
        CoTaskMemFree(text);
        text = nullptr;
        d.link_hr = array[i]->GetAllocatedString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, &text, nullptr);
        if (text) d.link = text;
        CoTaskMemFree(text);
        d.activate.Attach(array[i]);  // takes over the array's reference
        out.push_back(std::move(d));
    }
    CoTaskMemFree(array);
    return out;
}

ComPtr<IMFActivate> find_device(const std::u16string& link) {
    for (auto& d : enumerate())
        if (d.link_hr == S_OK && d.link == link) return d.activate;
    return nullptr;
}

ComPtr<IMFMediaType> make_type(const GUID& subtype, UINT32 w, UINT32 h, UINT32 num, UINT32 den) {
    ComPtr<IMFMediaType> t;
    EXPECT_EQ(MFCreateMediaType(t.GetAddressOf()), S_OK);
    t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    t->SetGUID(MF_MT_SUBTYPE, subtype);
    t->SetUINT64(MF_MT_FRAME_SIZE, Pack2UINT32AsUINT64(w, h));
    t->SetUINT64(MF_MT_FRAME_RATE, Pack2UINT32AsUINT64(num, den));
    return t;
}

struct Opened {
    HRESULT hr = E_FAIL;
    ComPtr<IMFMediaSource> source;
    ComPtr<IMFSourceReader> reader;
};

Opened open(const std::u16string& link, const GUID& subtype, UINT32 w, UINT32 h, UINT32 num = 30, UINT32 den = 1) {
    Opened o;
    ComPtr<IMFActivate> a = find_device(link);
    if (!a) return o;
    o.hr = a->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(o.source.GetAddressOf()));
    if (FAILED(o.hr)) return o;
    o.hr = MFCreateSourceReaderFromMediaSource(o.source.Get(), nullptr, o.reader.GetAddressOf());
    if (FAILED(o.hr)) return o;
    o.hr = o.reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr,
                                         make_type(subtype, w, h, num, den).Get());
    return o;
}

struct Read {
    HRESULT hr = E_FAIL;
    DWORD flags = 0;
    LONGLONG time = -1;
    bool has_sample = false;
    std::vector<uint8_t> bytes;
};

Read read_one(IMFSourceReader* reader) {
    Read r;
    ComPtr<IMFSample> sample;
    DWORD index = 99;
    r.hr = reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &index, &r.flags, &r.time, sample.GetAddressOf());
    if (sample) {
        r.has_sample = true;
        ComPtr<IMFMediaBuffer> buffer;
        EXPECT_EQ(sample->ConvertToContiguousBuffer(buffer.GetAddressOf()), S_OK);
        BYTE* data = nullptr;
        DWORD length = 0;
        EXPECT_EQ(buffer->Lock(&data, nullptr, &length), S_OK);
        r.bytes.assign(data, data + length);
        buffer->Unlock();
    }
    return r;
}

sim::CameraConfig camera(const std::u16string& name, const std::u16string& link, std::vector<sim::Format> formats) {
    sim::CameraConfig c;
    c.friendly_name = name;
    c.symbolic_link = link;
    c.formats = std::move(formats);
    c.paced = false;
    return c;
}

sim::Counters counters_of(sim::CameraId id) {
    sim::Counters c;
    EXPECT_TRUE(sim::get_counters(id, &c));
    return c;
}

// Runs a read on another thread; `wake` must make it return. A read that stays blocked fails the
// test, and `rescue` (an unplug) then frees the thread so that it can be joined.
Read read_woken_by(IMFSourceReader* reader, const std::function<void()>& wake, const std::function<void()>& rescue,
                   sim::CameraId id) {
    ComPtr<IMFSourceReader> own(reader);
    auto pending = std::async(std::launch::async, [own] { return read_one(own.Get()); });
    // The read must still be waiting, so that what wakes it is the call under test.
    EXPECT_EQ(pending.wait_for(milliseconds(50)), std::future_status::timeout) << "the read did not block";
    wake();
    if (pending.wait_for(seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "a blocked read was not woken";
        rescue();
    }
    return pending.get();
}

// ---------------------------------------------------------------------------------------------

TEST_F(SimCameraTest, EnumerationKeepsRegistrationOrderAndMissingStrings) {
    sim::add_camera(camera(u"Alpha", u"sim://a", {}));
    sim::CameraConfig nameless = camera(u"", u"sim://b", {});
    nameless.friendly_name.reset();
    sim::add_camera(nameless);
    sim::CameraConfig linkless = camera(u"Gamma \U0001F3A5", u"", {});
    linkless.symbolic_link.reset();
    sim::add_camera(linkless);
    sim::add_camera(camera(u"", u"", {}));  // present but empty

    auto devices = enumerate();
    ASSERT_GE(devices.size(), 4u);
    EXPECT_EQ(devices[0].name, u"Alpha");
    EXPECT_EQ(devices[0].link, u"sim://a");
    EXPECT_EQ(devices[1].name_hr, MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(devices[1].link, u"sim://b");
    EXPECT_EQ(devices[2].name, u"Gamma \U0001F3A5");
    EXPECT_EQ(devices[2].link_hr, MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(devices[3].name_hr, S_OK);
    EXPECT_EQ(devices[3].name, u"");
    EXPECT_EQ(devices[3].link_hr, S_OK);
}

TEST_F(SimCameraTest, EnumerationNeedsTheVideoCaptureSourceType) {
    sim::add_camera(camera(u"Alpha", u"sim://a", {}));
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(attributes.GetAddressOf(), 1), S_OK);
    IMFActivate** array = nullptr;
    UINT32 count = 7;
    EXPECT_TRUE(FAILED(MFEnumDeviceSources(attributes.Get(), &array, &count)));
    EXPECT_EQ(count, 0u);
    attributes->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_MT_SUBTYPE);
    EXPECT_TRUE(FAILED(MFEnumDeviceSources(attributes.Get(), &array, &count)));
    EXPECT_EQ(array, nullptr);
    EXPECT_EQ(MFEnumDeviceSources(nullptr, &array, &count), E_POINTER);
}

TEST_F(SimCameraTest, NativeTypesCarryOnlyTheAttributesTheCameraHas) {
    sim::Format no_rate;
    no_rate.subtype = MFVideoFormat_YUY2;
    no_rate.frame_size = std::make_pair(640u, 480u);
    sim::Format bare;  // nothing at all
    sim::add_camera(camera(u"N", u"sim://n",
                           {sim::format(MFVideoFormat_MJPG, 1280, 720, 30000, 1001), no_rate,
                            sim::format(kOddSubtype, 320, 240, 15, 0), bare}));
    Opened o = open(u"sim://n", MFVideoFormat_MJPG, 1280, 720);
    ASSERT_EQ(o.hr, S_OK);

    ComPtr<IMFMediaType> t;
    ASSERT_EQ(o.reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, t.GetAddressOf()), S_OK);
    GUID g{};
    UINT64 v = 0;
    UINT32 count = 0;
    EXPECT_EQ(t->GetMajorType(&g), S_OK);
    EXPECT_EQ(g, MFMediaType_Video);
    EXPECT_EQ(t->GetGUID(MF_MT_SUBTYPE, &g), S_OK);
    EXPECT_EQ(g, MFVideoFormat_MJPG);
    EXPECT_EQ(t->GetUINT64(MF_MT_FRAME_SIZE, &v), S_OK);
    EXPECT_EQ(v, (UINT64(1280) << 32) | 720);
    EXPECT_EQ(t->GetUINT64(MF_MT_FRAME_RATE, &v), S_OK);
    EXPECT_EQ(v, (UINT64(30000) << 32) | 1001);

    ASSERT_EQ(o.reader->GetNativeMediaType(0, 1, t.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(t->GetUINT64(MF_MT_FRAME_RATE, &v), MF_E_ATTRIBUTENOTFOUND);
    t->GetCount(&count);
    EXPECT_EQ(count, 3u);

    ASSERT_EQ(o.reader->GetNativeMediaType(0, 2, t.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(t->GetGUID(MF_MT_SUBTYPE, &g), S_OK);
    EXPECT_EQ(g, kOddSubtype);
    EXPECT_EQ(t->GetUINT64(MF_MT_FRAME_RATE, &v), S_OK);
    EXPECT_EQ(v, UINT64(15) << 32);

    ASSERT_EQ(o.reader->GetNativeMediaType(0, 3, t.ReleaseAndGetAddressOf()), S_OK);
    t->GetCount(&count);
    EXPECT_EQ(count, 1u);  // the major type only

    EXPECT_EQ(o.reader->GetNativeMediaType(0, 4, t.ReleaseAndGetAddressOf()), MF_E_NO_MORE_TYPES);
    EXPECT_EQ(t.Get(), nullptr);
    EXPECT_EQ(o.reader->GetNativeMediaType(1, 0, t.ReleaseAndGetAddressOf()), MF_E_INVALIDSTREAMNUMBER);
}

TEST_F(SimCameraTest, OpeningStepsFailWithTheirFaultAndAreCounted) {
    sim::CameraId id = sim::add_camera(camera(u"F", u"sim://f", {sim::format(MFVideoFormat_NV12, 64, 48, 30, 1)}));
    const HRESULT kActivate = MFCOMPAT_HR(0x80070015), kDescriptor = MFCOMPAT_HR(0x80070016),
                  kReader = MFCOMPAT_HR(0x80070017), kSetType = MFCOMPAT_HR(0x80070018);

    ASSERT_TRUE(sim::set_fault(id, sim::Fault::activate, kActivate));
    ComPtr<IMFActivate> a = find_device(u"sim://f");
    ASSERT_TRUE(a);
    ComPtr<IMFMediaSource> source;
    EXPECT_EQ(a->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(source.GetAddressOf())), kActivate);
    EXPECT_EQ(source.Get(), nullptr);
    sim::set_fault(id, sim::Fault::activate, S_OK);
    EXPECT_EQ(a->ActivateObject(IID_IMFSourceReader, reinterpret_cast<void**>(source.GetAddressOf())), E_NOINTERFACE);
    ASSERT_EQ(a->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(source.GetAddressOf())), S_OK);

    sim::set_fault(id, sim::Fault::presentation_descriptor, kDescriptor);
    ComPtr<IMFPresentationDescriptor> pd;
    EXPECT_EQ(source->CreatePresentationDescriptor(pd.GetAddressOf()), kDescriptor);
    sim::set_fault(id, sim::Fault::presentation_descriptor, S_OK);
    EXPECT_EQ(source->CreatePresentationDescriptor(pd.GetAddressOf()), S_OK);

    sim::set_fault(id, sim::Fault::create_reader, kReader);
    ComPtr<IMFSourceReader> reader;
    EXPECT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, reader.GetAddressOf()), kReader);
    EXPECT_EQ(reader.Get(), nullptr);
    sim::set_fault(id, sim::Fault::create_reader, S_OK);
    ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, reader.GetAddressOf()), S_OK);

    sim::set_fault(id, sim::Fault::set_media_type, kSetType);
    EXPECT_EQ(reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr,
                                          make_type(MFVideoFormat_NV12, 64, 48, 30, 1).Get()),
              kSetType);
    EXPECT_EQ(read_one(reader.Get()).hr, MF_E_INVALIDREQUEST);  // no stream yet
    sim::set_fault(id, sim::Fault::set_media_type, S_OK);
    EXPECT_EQ(reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr,
                                          make_type(MFVideoFormat_NV12, 64, 48, 29, 1).Get()),
              S_OK);

    sim::Counters c = counters_of(id);
    EXPECT_EQ(c.activations, 2u);
    EXPECT_EQ(c.presentation_descriptors, 2u);
    EXPECT_EQ(c.readers_created, 2u);
    EXPECT_EQ(c.set_type_calls, 2u);
    sim::RequestedType last;
    ASSERT_TRUE(sim::get_last_requested(id, &last));
    EXPECT_TRUE(last.valid);
    EXPECT_EQ(last.subtype, MFVideoFormat_NV12);
    EXPECT_EQ(last.width, 64u);
    EXPECT_EQ(last.height, 48u);
    EXPECT_EQ(last.rate_numerator, 29u);
    EXPECT_EQ(last.rate_denominator, 1u);
}

TEST_F(SimCameraTest, SetTypeAcceptsOnlyNativeSubtypeAndSizeUnlessToldOtherwise) {
    sim::CameraId id = sim::add_camera(camera(u"T", u"sim://t", {sim::format(MFVideoFormat_YUY2, 64, 48, 30, 1)}));
    EXPECT_EQ(open(u"sim://t", MFVideoFormat_NV12, 64, 48).hr, MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(open(u"sim://t", MFVideoFormat_YUY2, 64, 50).hr, MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(open(u"sim://t", MFVideoFormat_YUY2, 64, 48, 7, 1).hr, S_OK);  // the rate is not compared
    ASSERT_TRUE(sim::set_accept_any_format(id, true));
    Opened o = open(u"sim://t", MFVideoFormat_I420, 32, 16);
    ASSERT_EQ(o.hr, S_OK);
    Read r = read_one(o.reader.Get());
    EXPECT_EQ(r.bytes.size(), 32u * 16 * 3 / 2);
    // Too large to be a camera: refused rather than allocated.
    EXPECT_TRUE(FAILED(open(u"sim://t", MFVideoFormat_I420, 100000, 100000).hr));
}

// A picture of each subtype, three frames in a row: sizes and the coded frame numbers.
TEST_F(SimCameraTest, MovingPatternRendersEverySubtypeWithTheFrameNumber) {
    const uint32_t w = 640, h = 64;
    struct Case {
        GUID subtype;
        size_t size;
        size_t stride;
        uint32_t pixel_bytes, offset;
    } cases[] = {
        {MFVideoFormat_RGB24, w * h * 3, w * 3, 3, 1},      {MFVideoFormat_NV12, w * h * 3 / 2, w, 1, 0},
        {MFVideoFormat_I420, w * h * 3 / 2, w, 1, 0},       {MFVideoFormat_YUY2, w * h * 2, w * 2, 2, 0},
        {MFVideoFormat_P010, w * h * 3, w * 2, 2, 1},
    };
    sim::CameraConfig config = camera(u"P", u"sim://p", {});
    config.accept_any_format = true;
    sim::add_camera(config);
    for (const Case& c : cases) {
        Opened o = open(u"sim://p", c.subtype, w, h);
        ASSERT_EQ(o.hr, S_OK);
        for (int64_t frame = 0; frame < 3; ++frame) {
            Read r = read_one(o.reader.Get());
            ASSERT_EQ(r.hr, S_OK);
            ASSERT_TRUE(r.has_sample);
            ASSERT_EQ(r.bytes.size(), c.size);
            EXPECT_EQ(sim::decode_frame_code(r.bytes.data(), r.bytes.size(), w, h, c.stride, c.pixel_bytes, c.offset),
                      frame);
        }
    }
}

// Odd sizes round the chroma up, as the formats define; nothing is read or written out of bounds.
TEST_F(SimCameraTest, OddSizesRenderInEverySubtype) {
    const uint32_t w = 33, h = 17, cw = 17, ch = 9;
    const std::pair<GUID, size_t> cases[] = {
        {MFVideoFormat_RGB24, w * h * 3},          {MFVideoFormat_NV12, w * h + cw * 2 * ch},
        {MFVideoFormat_I420, w * h + 2 * cw * ch}, {MFVideoFormat_YUY2, cw * 4 * h},
        {MFVideoFormat_P010, w * h * 2 + cw * 4 * ch},
    };
    sim::CameraConfig config = camera(u"O", u"sim://o", {});
    config.accept_any_format = true;
    sim::add_camera(config);
    for (const auto& c : cases) {
        Opened o = open(u"sim://o", c.first, w, h);
        ASSERT_EQ(o.hr, S_OK);
        EXPECT_EQ(read_one(o.reader.Get()).bytes.size(), c.second);
    }
    Opened mjpg = open(u"sim://o", MFVideoFormat_MJPG, w, h);
    ASSERT_EQ(mjpg.hr, S_OK);
    Read r = read_one(mjpg.reader.Get());
    ASSERT_GE(r.bytes.size(), 2u);
    EXPECT_EQ(r.bytes[0], 0xFF);
    EXPECT_EQ(r.bytes[1], 0xD8);
}

TEST_F(SimCameraTest, MjpegFramesDecodeAndCarryTheFrameNumber) {
    const uint32_t w = 320, h = 240;
    sim::add_camera(camera(u"M", u"sim://m", {sim::format(MFVideoFormat_MJPG, w, h, 30, 1)}));
    Opened o = open(u"sim://m", MFVideoFormat_MJPG, w, h);
    ASSERT_EQ(o.hr, S_OK);

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    ASSERT_NE(codec, nullptr);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->thread_count = 1;
    ASSERT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (int64_t n = 0; n < 5; ++n) {
        Read r = read_one(o.reader.Get());
        ASSERT_TRUE(r.has_sample);
        ASSERT_GE(r.bytes.size(), 4u);
        EXPECT_EQ(r.bytes[0], 0xFF);
        EXPECT_EQ(r.bytes[1], 0xD8);
        packet->data = r.bytes.data();
        packet->size = int(r.bytes.size());
        ASSERT_EQ(avcodec_send_packet(ctx, packet), 0);
        ASSERT_EQ(avcodec_receive_frame(ctx, frame), 0);
        EXPECT_EQ(frame->width, int(w));
        EXPECT_EQ(frame->height, int(h));
        EXPECT_EQ(sim::decode_frame_code(frame->data[0], size_t(frame->linesize[0]) * h, w, h,
                                         size_t(frame->linesize[0]), 1, 0),
                  n);
        av_frame_unref(frame);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
}

TEST_F(SimCameraTest, SolidColourFillsEveryPixel) {
    sim::CameraConfig config = camera(u"S", u"sim://s", {sim::format(MFVideoFormat_RGB24, 33, 7, 30, 1)});
    config.source = sim::FrameSource::solid_colour;
    config.blue = 10;
    config.green = 20;
    config.red = 30;
    sim::add_camera(config);
    Opened o = open(u"sim://s", MFVideoFormat_RGB24, 33, 7);
    ASSERT_EQ(o.hr, S_OK);
    Read r = read_one(o.reader.Get());
    ASSERT_EQ(r.bytes.size(), 33u * 7 * 3);
    for (size_t i = 0; i < r.bytes.size(); i += 3) {
        ASSERT_EQ(r.bytes[i], 10);
        ASSERT_EQ(r.bytes[i + 1], 20);
        ASSERT_EQ(r.bytes[i + 2], 30);
    }
}

TEST_F(SimCameraTest, GivenFramesAreServedInALoopUnmodified) {
    sim::CameraConfig config = camera(u"L", u"sim://l", {sim::format(MFVideoFormat_MJPG, 8, 8, 30, 1)});
    config.source = sim::FrameSource::frame_list;
    config.frames = {{1, 2, 3, 4}, {5, 6}, {7, 8, 9}};
    sim::CameraId id = sim::add_camera(config);
    Opened o = open(u"sim://l", MFVideoFormat_MJPG, 8, 8);
    ASSERT_EQ(o.hr, S_OK);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(read_one(o.reader.Get()).bytes, config.frames[size_t(i % 3)]);
    sim::Counters c = counters_of(id);
    EXPECT_EQ(c.reads, 7u);
    EXPECT_EQ(c.samples_delivered, 7u);
}

TEST_F(SimCameraTest, ScriptedOutcomesComeInOrderThenNormalDelivery) {
    sim::CameraConfig config = camera(u"X", u"sim://x", {sim::format(MFVideoFormat_MJPG, 8, 8, 30, 1)});
    config.source = sim::FrameSource::frame_list;
    config.frames = {{1, 2, 3, 4, 5, 6}};
    const HRESULT kFail = MFCOMPAT_HR(0x80070079);
    config.script = {{sim::ReadOutcome::error, kFail},        {sim::ReadOutcome::end_of_stream},
                     {sim::ReadOutcome::stream_tick},         {sim::ReadOutcome::no_sample},
                     {sim::ReadOutcome::truncated},           {sim::ReadOutcome::normal}};
    sim::CameraId id = sim::add_camera(config);
    Opened o = open(u"sim://x", MFVideoFormat_MJPG, 8, 8);
    ASSERT_EQ(o.hr, S_OK);

    Read r = read_one(o.reader.Get());
    EXPECT_EQ(r.hr, kFail);
    EXPECT_FALSE(r.has_sample);
    r = read_one(o.reader.Get());
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.flags, DWORD(MF_SOURCE_READERF_ENDOFSTREAM));
    EXPECT_FALSE(r.has_sample);
    r = read_one(o.reader.Get());
    EXPECT_EQ(r.flags, DWORD(MF_SOURCE_READERF_STREAMTICK));
    EXPECT_FALSE(r.has_sample);
    r = read_one(o.reader.Get());
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.flags, 0u);
    EXPECT_FALSE(r.has_sample);
    r = read_one(o.reader.Get());
    EXPECT_EQ(r.bytes, (std::vector<uint8_t>{1, 2, 3}));
    for (int i = 0; i < 3; ++i) {
        r = read_one(o.reader.Get());
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.flags, 0u);
        EXPECT_EQ(r.bytes, config.frames[0]);
    }
    EXPECT_EQ(counters_of(id).samples_delivered, 4u);  // the truncated one and three whole ones

    // Repeated forever: every read fails, also after reopening.
    ASSERT_TRUE(sim::set_script(id, {{sim::ReadOutcome::error, kFail}}, true));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(read_one(o.reader.Get()).hr, kFail);
    Opened again = open(u"sim://x", MFVideoFormat_MJPG, 8, 8);
    ASSERT_EQ(again.hr, S_OK);
    EXPECT_EQ(read_one(again.reader.Get()).hr, kFail);
}

TEST_F(SimCameraTest, ReadsThatDeliverNothingTimeOutOnThePlatformClock) {
    mfcompat_set_clock_scale(0.01);  // the 5 s read timeout lasts 50 ms
    sim::CameraConfig config = camera(u"S", u"sim://s", {sim::format(MFVideoFormat_NV12, 16, 16, 30, 1)});
    config.script = {{sim::ReadOutcome::block}};
    config.accept_any_format = true;
    sim::add_camera(config);
    Opened o = open(u"sim://s", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(o.hr, S_OK);
    auto t0 = steady_clock::now();
    Read r = read_one(o.reader.Get());
    EXPECT_GE(steady_clock::now() - t0, milliseconds(45));
    EXPECT_EQ(uint32_t(r.hr), 0x800705B4u);
    EXPECT_EQ(r.hr, MFCOMPAT_E_TIMEOUT);
    EXPECT_FALSE(r.has_sample);
    EXPECT_TRUE(read_one(o.reader.Get()).has_sample);  // the stream goes on

    // A paced camera whose next frame is due later than the timeout (one frame in 10 s).
    sim::CameraConfig paced = config;
    paced.symbolic_link = u"sim://slow";
    paced.script.clear();
    paced.paced = true;
    sim::add_camera(paced);
    Opened slow_paced = open(u"sim://slow", MFVideoFormat_NV12, 16, 16, 1, 10);
    ASSERT_EQ(slow_paced.hr, S_OK);
    EXPECT_TRUE(read_one(slow_paced.reader.Get()).has_sample);  // the first frame is due at once
    t0 = steady_clock::now();
    EXPECT_EQ(read_one(slow_paced.reader.Get()).hr, MFCOMPAT_E_TIMEOUT);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(5000));
    mfcompat_set_clock_scale(1.0);
}

TEST_F(SimCameraTest, ScriptedUnplugMediaTypeOutcomesAndLateFaults) {
    sim::CameraConfig config = camera(u"P", u"sim://p", {sim::format(MFVideoFormat_NV12, 16, 16, 30, 1)});
    config.script = {{sim::ReadOutcome::normal}, {sim::ReadOutcome::unplug}};
    const sim::CameraId id = sim::add_camera(config);

    // Unplugged at the second read, until replugged.
    Opened o = open(u"sim://p", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_TRUE(read_one(o.reader.Get()).has_sample);
    EXPECT_EQ(read_one(o.reader.Get()).hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    EXPECT_EQ(read_one(o.reader.Get()).hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    EXPECT_FALSE(find_device(u"sim://p"));
    ASSERT_TRUE(sim::replug(id));
    ASSERT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, S_OK);

    // SetCurrentMediaType outcomes, one per call; an accepted entry still needs a fitting request.
    const HRESULT kBusy = MFCOMPAT_E_BUSY;
    ASSERT_TRUE(sim::set_media_type_script(id, {S_OK, kBusy, MF_E_INVALIDMEDIATYPE, S_OK}, false));
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, S_OK);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, kBusy);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 8, 8).hr, MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, S_OK);  // used up
    ASSERT_TRUE(sim::set_media_type_script(id, {kBusy}, true));
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, kBusy);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, kBusy);
    ASSERT_TRUE(sim::set_media_type_script(id, {}, false));

    // Faults that begin after N successful calls of their step; a refused request is not one.
    ASSERT_TRUE(sim::set_fault(id, sim::Fault::create_reader, E_OUTOFMEMORY, 2));
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, S_OK);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, S_OK);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, E_OUTOFMEMORY);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, E_OUTOFMEMORY);
    ASSERT_TRUE(sim::set_fault(id, sim::Fault::create_reader, S_OK));
    ASSERT_TRUE(sim::set_fault(id, sim::Fault::set_media_type, kBusy, 1));
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 8, 8).hr, MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, S_OK);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, kBusy);

    // The same through the C interface.
    ASSERT_EQ(mfcompat_sim_set_fault_after(id, MFCOMPAT_SIM_FAULT_ACTIVATE, int32_t(kBusy), 1), 0);
    ASSERT_EQ(mfcompat_sim_set_fault(id, MFCOMPAT_SIM_FAULT_SET_MEDIA_TYPE, 0), 0);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, S_OK);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, kBusy);
    ASSERT_EQ(mfcompat_sim_set_fault(id, MFCOMPAT_SIM_FAULT_ACTIVATE, 0), 0);
    const int32_t type_outcomes[] = {int32_t(kBusy), 0};
    ASSERT_EQ(mfcompat_sim_set_media_type_script(id, type_outcomes, 2, 0), 0);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, kBusy);
    EXPECT_EQ(open(u"sim://p", MFVideoFormat_NV12, 16, 16).hr, S_OK);
    EXPECT_EQ(mfcompat_sim_set_media_type_script(id, nullptr, 1, 0), MFCOMPAT_SIM_BAD_ARGUMENT);
    EXPECT_EQ(mfcompat_sim_set_fault_after(id, 9, -1, 0), MFCOMPAT_SIM_BAD_ARGUMENT);
    const int32_t unplug_step = MFCOMPAT_SIM_READ_UNPLUG;
    ASSERT_EQ(mfcompat_sim_set_script(id, &unplug_step, nullptr, 1, 0), 0);
    Opened last = open(u"sim://p", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(last.hr, S_OK);
    EXPECT_EQ(read_one(last.reader.Get()).hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    EXPECT_EQ(mfcompat_sim_replug(id), 0);
}

TEST_F(SimCameraTest, ReadArgumentsAndTimestamps) {
    sim::add_camera(camera(u"A", u"sim://a", {sim::format(MFVideoFormat_NV12, 16, 16, 30, 1)}));
    Opened o = open(u"sim://a", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(o.hr, S_OK);
    DWORD flags = 0;
    ComPtr<IMFSample> sample;
    EXPECT_EQ(o.reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, nullptr, nullptr,
                                   sample.GetAddressOf()),
              E_POINTER);
    EXPECT_EQ(o.reader->ReadSample(3, 0, nullptr, &flags, nullptr, sample.GetAddressOf()), MF_E_INVALIDSTREAMNUMBER);
    // The optional outputs may be left out.
    ASSERT_EQ(o.reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, &flags, nullptr,
                                   sample.GetAddressOf()),
              S_OK);
    ASSERT_TRUE(sample);
    Read first = read_one(o.reader.Get());
    std::this_thread::sleep_for(milliseconds(2));
    Read second = read_one(o.reader.Get());
    EXPECT_GE(first.time, 0);
    EXPECT_GT(second.time, first.time);
    LONGLONG sample_time = 0;
    ASSERT_EQ(sample->GetSampleTime(&sample_time), S_OK);
    EXPECT_LE(sample_time, first.time);
}

TEST_F(SimCameraTest, FlushWakesABlockedReadWithAGoodEmptyRead) {
    sim::CameraConfig config = camera(u"B", u"sim://b", {sim::format(MFVideoFormat_NV12, 16, 16, 30, 1)});
    config.script = {{sim::ReadOutcome::block}};
    sim::CameraId id = sim::add_camera(config);
    Opened o = open(u"sim://b", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(o.hr, S_OK);
    Read r = read_woken_by(
        o.reader.Get(), [&] { EXPECT_EQ(o.reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM), S_OK); },
        [&] { sim::unplug(id); }, id);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.flags, 0u);
    EXPECT_FALSE(r.has_sample);
    EXPECT_EQ(counters_of(id).flushes, 1u);
    // The flush does not linger: the next read delivers.
    EXPECT_TRUE(read_one(o.reader.Get()).has_sample);
}

TEST_F(SimCameraTest, FlushAlsoWakesAReadWaitingForItsFrameTime) {
    sim::CameraConfig config = camera(u"B", u"sim://b", {sim::format(MFVideoFormat_NV12, 16, 16, 1, 1)});
    config.paced = true;
    sim::CameraId id = sim::add_camera(config);
    Opened o = open(u"sim://b", MFVideoFormat_NV12, 16, 16, 1, 1);
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_TRUE(read_one(o.reader.Get()).has_sample);  // the first frame is due at once
    auto t0 = steady_clock::now();
    Read r = read_woken_by(o.reader.Get(), [&] { o.reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM); },
                           [&] { sim::unplug(id); }, id);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(900));
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_FALSE(r.has_sample);
}

TEST_F(SimCameraTest, SourceShutdownWakesABlockedReadAndStopsEverything) {
    sim::CameraConfig config = camera(u"B", u"sim://b", {sim::format(MFVideoFormat_NV12, 16, 16, 30, 1)});
    config.script = {{sim::ReadOutcome::block}};
    sim::CameraId id = sim::add_camera(config);
    Opened o = open(u"sim://b", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(o.hr, S_OK);
    Read r = read_woken_by(o.reader.Get(), [&] { EXPECT_EQ(o.source->Shutdown(), S_OK); }, [&] { sim::unplug(id); },
                           id);
    EXPECT_EQ(r.hr, MF_E_SHUTDOWN);
    EXPECT_EQ(read_one(o.reader.Get()).hr, MF_E_SHUTDOWN);
    ComPtr<IMFPresentationDescriptor> pd;
    EXPECT_EQ(o.source->CreatePresentationDescriptor(pd.GetAddressOf()), MF_E_SHUTDOWN);
    EXPECT_EQ(o.reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr,
                                            make_type(MFVideoFormat_NV12, 16, 16, 30, 1).Get()),
              MF_E_SHUTDOWN);
    ComPtr<IMFSourceReader> late;
    EXPECT_EQ(MFCreateSourceReaderFromMediaSource(o.source.Get(), nullptr, late.GetAddressOf()), MF_E_SHUTDOWN);
    EXPECT_EQ(o.source->Shutdown(), MF_E_SHUTDOWN);
    EXPECT_EQ(counters_of(id).shutdowns, 1u);
}

TEST_F(SimCameraTest, UnplugFailsReadsAndHidesTheCameraUntilReplug) {
    sim::CameraConfig config = camera(u"U", u"sim://u", {sim::format(MFVideoFormat_NV12, 16, 16, 30, 1)});
    config.script = {{sim::ReadOutcome::block}};
    sim::CameraId id = sim::add_camera(config);
    sim::add_camera(camera(u"Other", u"sim://other", {}));
    Opened o = open(u"sim://u", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(o.hr, S_OK);
    ComPtr<IMFActivate> kept = find_device(u"sim://u");
    ASSERT_TRUE(kept);

    Read r = read_woken_by(o.reader.Get(), [&] { ASSERT_TRUE(sim::unplug(id)); }, [] {}, id);
    EXPECT_EQ(r.hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    EXPECT_EQ(uint32_t(r.hr), 0xC00D3EA2u);
    EXPECT_EQ(read_one(o.reader.Get()).hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    EXPECT_FALSE(find_device(u"sim://u"));
    EXPECT_TRUE(find_device(u"sim://other"));
    ComPtr<IMFMediaSource> source;
    EXPECT_TRUE(FAILED(kept->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(source.GetAddressOf()))));

    ASSERT_TRUE(sim::replug(id));
    auto devices = enumerate();
    ASSERT_GE(devices.size(), 2u);
    EXPECT_EQ(devices[0].link, u"sim://u");  // back in its place
    Opened fresh = open(u"sim://u", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(fresh.hr, S_OK);
    EXPECT_TRUE(read_one(fresh.reader.Get()).has_sample);
    // The stream from before the unplug stays broken.
    EXPECT_EQ(read_one(o.reader.Get()).hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
}

TEST_F(SimCameraTest, PacedCameraDeliversAtTheRequestedRate) {
    sim::CameraConfig config = camera(u"R", u"sim://r", {sim::format(MFVideoFormat_NV12, 16, 16, 100, 1)});
    config.paced = true;
    config.accept_any_format = true;
    sim::add_camera(config);
    Opened o = open(u"sim://r", MFVideoFormat_NV12, 16, 16, 100, 1);
    ASSERT_EQ(o.hr, S_OK);
    auto t0 = steady_clock::now();
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(read_one(o.reader.Get()).has_sample);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(48));  // frames due at 0, 10, ... 50 ms

    // A zero rate falls back to 30 frames a second.
    Opened zero = open(u"sim://r", MFVideoFormat_NV12, 16, 16, 0, 0);
    ASSERT_EQ(zero.hr, S_OK);
    t0 = steady_clock::now();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(read_one(zero.reader.Get()).has_sample);
    auto took = steady_clock::now() - t0;
    EXPECT_GE(took, milliseconds(95));
    EXPECT_LT(took, milliseconds(1000));
}

TEST_F(SimCameraTest, SettingATypeAgainReplacesTheStream) {
    sim::CameraConfig config = camera(u"Z", u"sim://z", {});
    config.accept_any_format = true;
    sim::add_camera(config);
    Opened o = open(u"sim://z", MFVideoFormat_RGB24, 16, 16);
    ASSERT_EQ(o.hr, S_OK);
    EXPECT_EQ(read_one(o.reader.Get()).bytes.size(), 16u * 16 * 3);
    ASSERT_EQ(o.reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr,
                                            make_type(MFVideoFormat_YUY2, 32, 8, 30, 1).Get()),
              S_OK);
    Read r = read_one(o.reader.Get());
    EXPECT_EQ(r.bytes.size(), 32u * 8 * 2);
    EXPECT_EQ(sim::decode_frame_code(r.bytes.data(), r.bytes.size(), 32, 8, 64, 2, 0), -1);  // too small for a code
    ComPtr<IMFMediaType> current;
    ASSERT_EQ(o.reader->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, current.GetAddressOf()), S_OK);
    GUID g{};
    current->GetGUID(MF_MT_SUBTYPE, &g);
    EXPECT_EQ(g, MFVideoFormat_YUY2);
}

TEST_F(SimCameraTest, RemovingCamerasTakesThemOutForGood) {
    sim::CameraId a = sim::add_camera(camera(u"A", u"sim://a", {sim::format(MFVideoFormat_NV12, 16, 16, 30, 1)}));
    sim::add_camera(camera(u"B", u"sim://b", {}));
    EXPECT_EQ(sim::camera_count(), 2u);
    Opened o = open(u"sim://a", MFVideoFormat_NV12, 16, 16);
    ASSERT_EQ(o.hr, S_OK);
    ASSERT_TRUE(sim::remove_camera(a));
    EXPECT_FALSE(sim::remove_camera(a));
    EXPECT_FALSE(sim::unplug(a));
    sim::Counters c;
    EXPECT_FALSE(sim::get_counters(a, &c));
    EXPECT_EQ(sim::camera_count(), 1u);
    EXPECT_FALSE(find_device(u"sim://a"));
    EXPECT_EQ(read_one(o.reader.Get()).hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    sim::remove_all_cameras();
    EXPECT_EQ(sim::camera_count(), 0u);
    EXPECT_FALSE(find_device(u"sim://b"));
}

TEST_F(SimCameraTest, AFullCycleReleasesEveryObject) {
    sim::add_camera(camera(u"C", u"sim://c", {sim::format(MFVideoFormat_NV12, 16, 16, 30, 1)}));
    const int64_t before = mfcompat_live_objects();
    {
        Opened o = open(u"sim://c", MFVideoFormat_NV12, 16, 16);
        ASSERT_EQ(o.hr, S_OK);
        ComPtr<IMFPresentationDescriptor> pd;
        ASSERT_EQ(o.source->CreatePresentationDescriptor(pd.GetAddressOf()), S_OK);
        ComPtr<IMFSample> sample;
        DWORD flags = 0;
        ASSERT_EQ(o.reader->ReadSample(0, 0, nullptr, &flags, nullptr, sample.GetAddressOf()), S_OK);
        ComPtr<IMFMediaBuffer> one, two;
        ASSERT_EQ(sample->ConvertToContiguousBuffer(one.GetAddressOf()), S_OK);
        ASSERT_EQ(sample->ConvertToContiguousBuffer(two.GetAddressOf()), S_OK);
        EXPECT_EQ(one.Get(), two.Get());
        o.reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
        o.source->Shutdown();
        EXPECT_GT(mfcompat_live_objects(), before);
    }
    EXPECT_EQ(mfcompat_live_objects(), before);
}

TEST_F(SimCameraTest, CInterfaceConfiguresAndReportsCameras) {
    const std::u16string name = u"C \U0001F3A5 \xD800x";  // an astral character and an unpaired surrogate
    mfcompat_sim_format formats[2] = {};
    std::memcpy(formats[0].subtype, &MFVideoFormat_NV12, 16);
    formats[0].has_subtype = 1;
    formats[0].has_frame_size = 1;
    formats[0].width = 16;
    formats[0].height = 16;
    formats[1].has_frame_rate = 1;
    formats[1].rate_numerator = 5;
    formats[1].rate_denominator = 0;
    const int32_t id = mfcompat_sim_add_camera(reinterpret_cast<const uint16_t*>(name.data()), int32_t(name.size()),
                                               nullptr, -1, formats, 2, 0);
    ASSERT_GT(id, 0);
    EXPECT_EQ(mfcompat_sim_camera_count(), 1);
    auto devices = enumerate();
    ASSERT_GE(devices.size(), 1u);
    EXPECT_EQ(devices[0].name, name);
    EXPECT_EQ(devices[0].link_hr, MF_E_ATTRIBUTENOTFOUND);

    EXPECT_EQ(mfcompat_sim_add_camera(nullptr, 3, nullptr, -1, nullptr, 0, 0), MFCOMPAT_SIM_BAD_ARGUMENT);
    EXPECT_EQ(mfcompat_sim_add_camera(nullptr, -1, nullptr, -1, nullptr, 1, 0), MFCOMPAT_SIM_BAD_ARGUMENT);
    EXPECT_EQ(mfcompat_sim_add_camera(nullptr, -1, nullptr, -1, nullptr, 0, 0x80), MFCOMPAT_SIM_BAD_ARGUMENT);
    EXPECT_EQ(mfcompat_sim_set_fault(id, 9, -1), MFCOMPAT_SIM_BAD_ARGUMENT);
    EXPECT_EQ(mfcompat_sim_set_fault(id + 1000, 0, -1), MFCOMPAT_SIM_NO_CAMERA);
    const int32_t bad_outcome = 42;
    EXPECT_EQ(mfcompat_sim_set_script(id, &bad_outcome, nullptr, 1, 0), MFCOMPAT_SIM_BAD_ARGUMENT);
    EXPECT_EQ(mfcompat_sim_set_frames(id, nullptr, nullptr, 0), MFCOMPAT_SIM_BAD_ARGUMENT);
    EXPECT_EQ(mfcompat_sim_set_source(id, 7, 0, 0, 0), MFCOMPAT_SIM_BAD_ARGUMENT);

    const int32_t outcomes[] = {MFCOMPAT_SIM_READ_ERROR, MFCOMPAT_SIM_READ_STREAM_TICK};
    const int32_t hrs[] = {int32_t(0x8007001F), 0};
    ASSERT_EQ(mfcompat_sim_set_script(id, outcomes, hrs, 2, 0), 0);
    const uint8_t frame[] = {9, 8, 7};
    const uint8_t* frames[] = {frame};
    const size_t sizes[] = {sizeof frame};
    ASSERT_EQ(mfcompat_sim_set_frames(id, frames, sizes, 1), 0);

    // Links are absent, so the reader is opened through the activation object directly.
    ComPtr<IMFMediaSource> source;
    ASSERT_EQ(devices[0].activate->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(source.GetAddressOf())),
              S_OK);
    ComPtr<IMFSourceReader> reader;
    ASSERT_EQ(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, reader.GetAddressOf()), S_OK);
    ASSERT_EQ(reader->SetCurrentMediaType(0, nullptr, make_type(MFVideoFormat_NV12, 16, 16, 5, 0).Get()), S_OK);
    EXPECT_EQ(uint32_t(read_one(reader.Get()).hr), 0x8007001Fu);
    EXPECT_EQ(read_one(reader.Get()).flags, DWORD(MF_SOURCE_READERF_STREAMTICK));
    EXPECT_EQ(read_one(reader.Get()).bytes, (std::vector<uint8_t>{9, 8, 7}));

    mfcompat_sim_counters counters{};
    ASSERT_EQ(mfcompat_sim_get_counters(id, &counters), 0);
    EXPECT_EQ(counters.activations, 1u);
    EXPECT_EQ(counters.readers_created, 1u);
    EXPECT_EQ(counters.set_type_calls, 1u);
    EXPECT_EQ(counters.reads, 3u);
    EXPECT_EQ(counters.samples_delivered, 1u);
    mfcompat_sim_requested requested{};
    ASSERT_EQ(mfcompat_sim_get_last_requested(id, &requested), 0);
    EXPECT_EQ(requested.valid, 1);
    EXPECT_EQ(std::memcmp(requested.subtype, &MFVideoFormat_NV12, 16), 0);
    EXPECT_EQ(requested.rate_numerator, 5u);
    EXPECT_EQ(requested.rate_denominator, 0u);

    ASSERT_EQ(mfcompat_sim_unplug(id), 0);
    EXPECT_EQ(read_one(reader.Get()).hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    ASSERT_EQ(mfcompat_sim_remove_camera(id), 0);
    EXPECT_EQ(mfcompat_sim_remove_camera(id), MFCOMPAT_SIM_NO_CAMERA);
    EXPECT_EQ(mfcompat_sim_get_counters(id, &counters), MFCOMPAT_SIM_NO_CAMERA);
}

}  // namespace
