// A V4L2 camera seen through the whole system: enumeration, a capture session, device loss.
#include "v4l2_fixture.h"

#include "capture/video_capture.h"
#include "devices/camera_enumeration.h"

#include <mfcompat/platform_counters.h>
#include <mfcompat/simulated_camera.h>

#include <atomic>

namespace {

using namespace fakev4l2;

class V4l2Session : public V4l2Test {
protected:
    void SetUp() override {
        V4l2Test::SetUp();
        mfcompat::sim::remove_all_cameras();
        mfcompat_set_clock_scale(0.01);
    }
    void TearDown() override {
        stop_frames();
        mfcompat_set_clock_scale(1.0);
        V4l2Test::TearDown();
    }

    // Frames arrive every 2 ms while the camera streams, as a real camera would deliver them.
    void start_frames() {
        pushing_ = true;
        pusher_ = std::thread([this] {
            for (long i = 0; pushing_; ++i) {
                fake_.push_frame(kUvc, std::vector<uint8_t>(512, uint8_t(i)), timeval{i / 1000, (i % 1000) * 1000});
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    void stop_frames() {
        pushing_ = false;
        if (pusher_.joinable()) pusher_.join();
    }

    std::atomic<bool> pushing_{false};
    std::thread pusher_;
};

TEST_F(V4l2Session, CamerasAreListedWithTheirDistinctFormats) {
    auto cameras = enumerate_cameras();
    ASSERT_GE(cameras.size(), 1u);
    const CameraInfo& uvc = cameras[0];
    EXPECT_EQ(uvc.name, u"HD Pro Webcam C920");
    EXPECT_EQ(uvc.device_id, std::u16string(kUvcLink, kUvcLink + std::strlen(kUvcLink)));
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t, std::u16string>> formats;
    for (const auto& f : uvc.formats) formats.emplace_back(f.width, f.height, f.fps, f.subtype_name);
    const decltype(formats) expected = {
        {1280, 720, 30, u"MJPEG"}, {1280, 720, 15, u"MJPEG"}, {640, 480, 30, u"MJPEG"},
        {640, 480, 15, u"MJPEG"},  {640, 480, 30, u"YUY2"},
    };
    EXPECT_EQ(formats, expected);
}

TEST_F(V4l2Session, SessionStreamsAndEndsWhenTheCameraIsUnplugged) {
    const std::u16string link(kUvcLink, kUvcLink + std::strlen(kUvcLink));
    {
        PyVideoCapture session;
        start_frames();
        // Type 2 sends nothing: the test is about the capture side.
        ASSERT_TRUE(session.start(link, u"", 640, 480, 30, u"MJPEG", 2));
        ASSERT_EQ(fake_.set_formats().size(), 1u);
        EXPECT_EQ(fake_.set_formats()[0].pixelformat, uint32_t(V4L2_PIX_FMT_MJPEG));

        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        fake_.unplug(kUvc);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (session.is_running() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_FALSE(session.is_running());
        session.stop();
        std::fflush(stdout);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.rfind("ReadSample failed: 0xC00D3EA2\nTry reconnect device 0...\n", 0), 0u) << out;
        EXPECT_NE(out.find("Reconnect device 0 failed\n"), std::string::npos) << out;
        stop_frames();
    }
}

}  // namespace
