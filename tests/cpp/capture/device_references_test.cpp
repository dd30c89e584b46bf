// Enumeration and opening hand every device that MFEnumDeviceSources returns back to the platform:
// no reference taken over from the array is kept or dropped twice, whichever camera matches.
#include "capture_fixture.h"
#include "devices/camera_enumeration.h"
#include "devices/device_opening.h"

namespace {

using Microsoft::WRL::ComPtr;

class DeviceReferencesTest : public CaptureTest {};

TEST_F(DeviceReferencesTest, EveryListedDeviceIsReleased) {
    sim::add_camera(camera(u"first"));
    sim::add_camera(camera(u"second"));
    sim::add_camera(camera(u"third"));
    PyVideoCapture session;
    session.width = 64;
    session.height = 48;
    session.fps = 200;
    session.subtype = MFVideoFormat_YUY2;

    const struct {
        const char* what;
        std::function<void()> call;
    } cases[] = {
        {"enumerate_cameras", [] { EXPECT_EQ(enumerate_cameras().size(), 3u); }},
        {"open the middle camera",
         [&] {
             ComPtr<IMFMediaSource> source;
             ComPtr<IMFSourceReader> reader;
             EXPECT_TRUE(open_device(session, u"second", source, reader));
             EXPECT_TRUE(source && reader);
         }},
        {"open an unknown camera",
         [&] {
             ComPtr<IMFMediaSource> source;
             ComPtr<IMFSourceReader> reader;
             start_capture();
             EXPECT_FALSE(open_device(session, u"none", source, reader));
             EXPECT_EQ(stop_capture(), "source is null\n");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int64_t before = mfcompat_live_objects();
        c.call();
        EXPECT_EQ(mfcompat_live_objects(), before);
    }
}

}  // namespace
