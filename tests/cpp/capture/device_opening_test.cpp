// What open_device leaves in the slots for each outcome, and what release_device does to them.
#include "capture_fixture.h"
#include "devices/device_opening.h"

namespace {

using Microsoft::WRL::ComPtr;

class DeviceOpeningTest : public CaptureTest {
protected:
    PyVideoCapture session;
    ComPtr<IMFMediaSource> source;
    ComPtr<IMFSourceReader> reader;

    void SetUp() override {
        CaptureTest::SetUp();
        session.width = 64;
        session.height = 48;
        session.fps = 200;
        session.subtype = MFVideoFormat_YUY2;
    }
    bool open(const std::u16string& id) { return open_device(session, id, source, reader); }
};

TEST_F(DeviceOpeningTest, SuccessFillsBothSlotsAndReopeningReplacesThem) {
    const auto id = sim::add_camera(camera(u"cam"));
    ASSERT_TRUE(open(u"cam"));
    ASSERT_TRUE(source && reader);
    IMFMediaSource* first_source = source.Get();
    IMFSourceReader* first_reader = reader.Get();
    first_source->AddRef();
    first_reader->AddRef();

    ASSERT_TRUE(open(u"cam"));
    EXPECT_NE(source.Get(), first_source);
    EXPECT_NE(reader.Get(), first_reader);
    EXPECT_EQ(counters(id).readers_created, 2u);
    // The slots dropped their references: ours are the last ones.
    EXPECT_EQ(first_reader->Release(), 0u);
    EXPECT_EQ(first_source->Release(), 0u);
}

TEST_F(DeviceOpeningTest, FailuresLeaveTheSlotsAsDocumented) {
    const auto id = sim::add_camera(camera(u"cam"));
    ASSERT_TRUE(open(u"cam"));
    ComPtr<IMFMediaSource> old_source = source;
    ComPtr<IMFSourceReader> old_reader = reader;

    start_capture();
    // No such device: both unchanged.
    EXPECT_FALSE(open(u"CAM"));
    EXPECT_EQ(source.Get(), old_source.Get());
    EXPECT_EQ(reader.Get(), old_reader.Get());

    // The format is refused: a new source and a new reader.
    sim::set_fault(id, sim::Fault::set_media_type, MF_E_INVALIDMEDIATYPE);
    EXPECT_FALSE(open(u"cam"));
    EXPECT_TRUE(source && reader);
    EXPECT_NE(source.Get(), old_source.Get());
    EXPECT_NE(reader.Get(), old_reader.Get());
    sim::set_fault(id, sim::Fault::set_media_type, S_OK);

    // Reader creation fails: a new source, no reader.
    old_source = source;
    sim::set_fault(id, sim::Fault::create_reader, E_FAIL);
    EXPECT_FALSE(open(u"cam"));
    EXPECT_TRUE(source);
    EXPECT_NE(source.Get(), old_source.Get());
    EXPECT_FALSE(reader);
    sim::set_fault(id, sim::Fault::create_reader, S_OK);

    // Activation fails: the source slot is emptied, the reader slot untouched.
    ASSERT_TRUE(open(u"cam"));
    old_reader = reader;
    sim::set_fault(id, sim::Fault::activate, E_FAIL);
    EXPECT_FALSE(open(u"cam"));
    EXPECT_FALSE(source);
    EXPECT_EQ(reader.Get(), old_reader.Get());
    EXPECT_EQ(stop_capture(), "source is null\nsource is null\n");
}

TEST_F(DeviceOpeningTest, RequestIsWholeFpsOverOneWithWidthInTheHighWord) {
    auto config = camera(u"cam");
    config.formats = {sim::format(MFVideoFormat_NV12, 1280, 720, 30000, 1001)};
    const auto id = sim::add_camera(config);
    session.width = 1280;
    session.height = 720;
    session.fps = 29;
    session.subtype = MFVideoFormat_NV12;
    ASSERT_TRUE(open(u"cam"));
    sim::RequestedType requested;
    ASSERT_TRUE(sim::get_last_requested(id, &requested));
    EXPECT_EQ(requested.width, 1280u);
    EXPECT_EQ(requested.height, 720u);
    EXPECT_EQ(requested.rate_numerator, 29u);
    EXPECT_EQ(requested.rate_denominator, 1u);
    EXPECT_EQ(requested.subtype, MFVideoFormat_NV12);
}

TEST_F(DeviceOpeningTest, ReleaseStopsTheObjectsButTheSlotsKeepThem) {
    const auto id = sim::add_camera(camera(u"cam"));
    ASSERT_TRUE(open(u"cam"));
    release_device(reader, source);
    EXPECT_TRUE(source && reader);
    EXPECT_EQ(counters(id).flushes, 1u);
    EXPECT_EQ(counters(id).shutdowns, 1u);
    DWORD flags = 0;
    ComPtr<IMFSample> sample;
    EXPECT_TRUE(FAILED(reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, &flags, nullptr,
                                          sample.GetAddressOf())));
    release_device(nullptr, nullptr);  // empty slots are skipped
}

}  // namespace
