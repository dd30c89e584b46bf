// Opening a V4L2 device at a format, reading its frames, losing it, and waking a blocked read.
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "v4l2_fixture.h"

#include <mfcompat/platform_counters.h>

namespace fakev4l2 {
namespace {

using namespace std::chrono_literals;
using mfcompat::CameraStream;
using mfcompat::ReadResult;
using mfcompat::RequestedFormat;

constexpr auto kWait = 5s;  // generous: only a hang reaches it

RequestedFormat mjpeg_vga(uint32_t fps = 15) { return {MFVideoFormat_MJPG, 640, 480, fps, 1}; }

std::vector<uint8_t> frame_bytes(uint8_t seed, size_t size) {
    std::vector<uint8_t> b(size);
    for (size_t i = 0; i < size; ++i) b[i] = uint8_t(seed + i * 7);
    return b;
}

class V4l2Stream : public V4l2Test {
protected:
    // Enumerates, activates and opens the UVC camera at `format`.
    HRESULT open(const RequestedFormat& format, std::unique_ptr<CameraStream>* stream) {
        camera_ = device(kUvcLink);
        if (!camera_) return E_FAIL;
        HRESULT hr = camera_->activate();
        if (SUCCEEDED(hr)) hr = camera_->create_presentation_descriptor();
        if (SUCCEEDED(hr)) hr = camera_->create_reader();
        if (SUCCEEDED(hr)) hr = camera_->open_stream(format, stream);
        return hr;
    }
    void TearDown() override {
        camera_.reset();
        V4l2Test::TearDown();
    }
    std::shared_ptr<mfcompat::CameraDevice> camera_;
};

TEST_F(V4l2Stream, OpensAtTheRequestedFormatAndDeliversTheFramesInOrder) {
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(15), &stream), S_OK);
    ASSERT_TRUE(stream);

    auto formats = fake_.set_formats();
    ASSERT_EQ(formats.size(), 1u);
    EXPECT_EQ(formats[0].width, 640u);
    EXPECT_EQ(formats[0].height, 480u);
    EXPECT_EQ(formats[0].pixelformat, uint32_t(V4L2_PIX_FMT_MJPEG));
    auto intervals = fake_.set_intervals();
    ASSERT_EQ(intervals.size(), 1u);
    EXPECT_EQ(intervals[0].numerator, 1u);
    EXPECT_EQ(intervals[0].denominator, 15u);
    EXPECT_EQ(fake_.streamons(), 1);
    EXPECT_GE(fake_.total_mappings(), 1);

    // More frames than buffers, so that buffers must go back to the driver. Each frame's storage
    // comes back once its sample is released, and the next frame reuses it.
    const uint8_t* storage = nullptr;
    for (int i = 0; i < 10; ++i) {
        auto bytes = frame_bytes(uint8_t(i), 1000 + size_t(i) * 37);
        fake_.push_frame(kUvc, bytes, timeval{100 + i, 250000});
        ReadResult r = stream->read();
        ASSERT_EQ(r.hr, S_OK) << i;
        ASSERT_TRUE(r.has_sample);
        EXPECT_EQ(r.stream_flags, 0u);
        EXPECT_EQ(r.data, bytes) << i;
        EXPECT_EQ(r.timestamp, (100LL + i) * 10000000 + 2500000);
        if (i > 0) {
            EXPECT_EQ(r.data.data(), storage) << i;
        }
        storage = r.data.data();
        ASSERT_TRUE(r.pool);
        r.pool->give_back(std::move(r.data));
    }
    stream->shutdown();
    EXPECT_EQ(fake_.streamoffs(), 1);
    // Released at shutdown, not only when the object goes.
    EXPECT_EQ(fake_.live_mappings(), 0);
    EXPECT_EQ(stream->read().hr, MF_E_SHUTDOWN);
}

TEST_F(V4l2Stream, ReadWithoutAFrameTimesOutOnThePlatformClockAndTheStreamGoesOn) {
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(15), &stream), S_OK);
    mfcompat_set_clock_scale(0.01);  // the 5 s timeout lasts 50 ms
    const auto began = std::chrono::steady_clock::now();
    ReadResult r = stream->read();
    const auto took = std::chrono::steady_clock::now() - began;
    mfcompat_set_clock_scale(1.0);
    EXPECT_EQ(uint32_t(r.hr), 0x800705B4u);
    EXPECT_FALSE(r.has_sample);
    EXPECT_GE(took, 45ms);
    EXPECT_LT(took, kWait);
    fake_.push_frame(kUvc, frame_bytes(1, 100), timeval{1, 0});
    r = stream->read();
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_TRUE(r.has_sample);
}

TEST_F(V4l2Stream, FrameRateIsOnlySetWhenTheDriverTakesOne) {
    fake_.node(kUvc).timeperframe = false;
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(30), &stream), S_OK);
    EXPECT_TRUE(fake_.set_intervals().empty());
    fake_.push_frame(kUvc, frame_bytes(1, 64), timeval{1, 0});
    EXPECT_TRUE(stream->read().has_sample);
}

TEST_F(V4l2Stream, FormatsTheDriverWouldAdjustAreRejected) {
    std::unique_ptr<CameraStream> stream;
    // A size the camera does not have: the driver answers 1280x720.
    EXPECT_EQ(open({MFVideoFormat_MJPG, 1920, 1080, 30, 1}, &stream), MF_E_INVALIDMEDIATYPE);
    EXPECT_FALSE(stream);
    ASSERT_EQ(fake_.set_formats().size(), 1u);
    EXPECT_EQ(fake_.set_formats()[0].width, 1920u);
    // A subtype the camera does not list never reaches the driver.
    EXPECT_EQ(camera_->open_stream({MFVideoFormat_NV12, 640, 480, 30, 1}, &stream), MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(camera_->open_stream({GUID_NULL, 640, 480, 30, 1}, &stream), MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(camera_->open_stream({MFVideoFormat_MJPG, 0, 0, 0, 0}, &stream), MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(fake_.set_formats().size(), 1u);
    EXPECT_FALSE(stream);
    // The camera still opens at a format it has, and the failures left nothing behind.
    ASSERT_EQ(camera_->open_stream({MFVideoFormat_YUY2, 640, 480, 30, 1}, &stream), S_OK);
    EXPECT_EQ(fake_.set_formats().back().pixelformat, uint32_t(V4L2_PIX_FMT_YUYV));
}

// A failed set-up releases what it acquired and names the node and the request that failed, once
// per cause; a device that is gone is not logged (the capture layer reports the lost camera).
TEST_F(V4l2Stream, SetupFailuresReleaseWhatWasAcquiredAndAreLogged) {
    struct Fault {
        const char* what;
        void (*apply)(Node&);
        HRESULT expected;
        std::string logged;  // after "mfcompat: V4L2 device /dev/video0: "; empty: nothing
    };
    auto line = [](const char* call, int err) {
        return std::string(call) + " failed: " + std::strerror(err) + " (errno " + std::to_string(err) + ")";
    };
    const Fault faults[] = {
        {"busy", [](Node& n) { n.fail_request = VIDIOC_S_FMT, n.fail_request_errno = EBUSY; }, MFCOMPAT_E_BUSY,
         line("VIDIOC_S_FMT", EBUSY)},
        {"reqbufs", [](Node& n) { n.fail_request = VIDIOC_REQBUFS, n.fail_request_errno = ENOMEM; }, E_OUTOFMEMORY,
         line("VIDIOC_REQBUFS", ENOMEM)},
        {"querybuf", [](Node& n) { n.fail_request = VIDIOC_QUERYBUF, n.fail_request_errno = EINVAL; },
         MF_E_HW_MFT_FAILED_START_STREAMING, line("VIDIOC_QUERYBUF", EINVAL)},
        {"mmap", [](Node& n) { n.fail_mmap_at = 2; }, E_OUTOFMEMORY, line("mmap", ENOMEM)},
        {"qbuf", [](Node& n) { n.fail_request = VIDIOC_QBUF, n.fail_request_errno = EIO; },
         MF_E_HW_MFT_FAILED_START_STREAMING, line("VIDIOC_QBUF", EIO)},
        {"streamon", [](Node& n) { n.fail_request = VIDIOC_STREAMON, n.fail_request_errno = ENOSPC; },
         MF_E_HW_MFT_FAILED_START_STREAMING, line("VIDIOC_STREAMON", ENOSPC)},
        {"gone", [](Node& n) { n.fail_request = VIDIOC_STREAMON, n.fail_request_errno = ENODEV; },
         MFCOMPAT_E_DEVICE_NOT_CONNECTED, ""},
        {"too many buffers", [](Node& n) { n.reported_buffers = 64; }, MF_E_HW_MFT_FAILED_START_STREAMING, ""},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.what);
        fake_.node(kUvc) = uvc_camera();
        f.apply(fake_.node(kUvc));
        std::unique_ptr<CameraStream> stream;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(open(mjpeg_vga(), &stream), f.expected);
        EXPECT_EQ(open(mjpeg_vga(), &stream), f.expected);  // the same cause again: no second line
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, f.logged.empty() ? "" : "mfcompat: V4L2 device " + std::string(kUvc) + ": " + f.logged + "\n");
        EXPECT_FALSE(stream);
        stream.reset();
        camera_.reset();
        EXPECT_EQ(fake_.open_descriptors(), 0);
        EXPECT_EQ(fake_.live_mappings(), 0);
    }
}

// A read that the device fails ends the stream and says why, once; a camera that is gone does not.
TEST_F(V4l2Stream, FailedDequeueIsLoggedUnlessTheDeviceIsGone) {
    for (int err : {EIO, ENODEV}) {
        SCOPED_TRACE(err);
        fake_.node(kUvc) = uvc_camera();
        std::unique_ptr<CameraStream> stream;
        ASSERT_EQ(open(mjpeg_vga(), &stream), S_OK);
        fake_.push_frame(kUvc, frame_bytes(1, 100), timeval{1, 0});
        fake_.node(kUvc).fail_request = VIDIOC_DQBUF;
        fake_.node(kUvc).fail_request_errno = err;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(stream->read().hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  err == ENODEV ? "" : "mfcompat: V4L2 device " + std::string(kUvc) + ": VIDIOC_DQBUF failed: " +
                                           std::strerror(err) + " (errno " + std::to_string(err) + ")\n");
        stream.reset();
        camera_.reset();
    }
}

TEST_F(V4l2Stream, OddBuffersGiveBoundedDataOrAClearFailure) {
    fake_.node(kUvc).buffer_length = 256;
    fake_.node(kUvc).report_bytesused_beyond_length = true;
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(), &stream), S_OK);
    auto bytes = frame_bytes(9, 256);
    fake_.push_frame(kUvc, bytes, timeval{1, 0});
    ReadResult r = stream->read();
    ASSERT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.data, bytes);  // cut at the mapped length, not past it

    // A frame the driver marks as corrupt, or an empty one, is a good read without a sample; the
    // next good one is delivered.
    fake_.node(kUvc).report_bytesused_beyond_length = false;
    fake_.push_frame(kUvc, frame_bytes(1, 100), timeval{2, 0}, V4L2_BUF_FLAG_ERROR);
    fake_.push_frame(kUvc, {}, timeval{3, 0});  // empty
    fake_.push_frame(kUvc, frame_bytes(2, 100), timeval{4, 0});
    for (int dropped = 0; dropped < 2; ++dropped) {
        r = stream->read();
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_FALSE(r.has_sample);
    }
    r = stream->read();
    ASSERT_TRUE(r.has_sample);
    EXPECT_EQ(r.data, frame_bytes(2, 100));
    EXPECT_EQ(r.timestamp, 4 * 10000000LL);

    // A buffer index the driver never gave out ends the stream with an error, every time.
    fake_.node(kUvc).report_bad_index = true;
    fake_.push_frame(kUvc, frame_bytes(3, 100), timeval{5, 0});
    EXPECT_EQ(stream->read().hr, E_UNEXPECTED);
    EXPECT_EQ(stream->read().hr, E_UNEXPECTED);
}

TEST_F(V4l2Stream, StreamOutlivesTheDeviceObjectAndANewTypeReplacesIt) {
    std::unique_ptr<CameraStream> first;
    ASSERT_EQ(open(mjpeg_vga(), &first), S_OK);
    // Setting another type stops the old stream so the node can take the new format.
    std::unique_ptr<CameraStream> second;
    ASSERT_EQ(camera_->open_stream({MFVideoFormat_MJPG, 1280, 720, 30, 1}, &second), S_OK);
    EXPECT_EQ(first->read().hr, MF_E_SHUTDOWN);
    EXPECT_EQ(fake_.set_formats().back().width, 1280u);
    // The reader's stream keeps working when the enumerated device object goes away.
    camera_.reset();
    fake_.push_frame(kUvc, frame_bytes(6, 80), timeval{2, 0});
    ReadResult r = second->read();
    EXPECT_TRUE(r.has_sample);
    EXPECT_EQ(r.data, frame_bytes(6, 80));
}

TEST_F(V4l2Stream, ActivationFailuresGiveTheirHresults) {
    auto uvc = device(kUvcLink);
    ASSERT_TRUE(uvc);
    fake_.node(kUvc).open_errno = EACCES;
    EXPECT_EQ(uvc->activate(), E_ACCESSDENIED);
    fake_.node(kUvc).open_errno = EBUSY;
    EXPECT_EQ(uvc->activate(), MFCOMPAT_E_BUSY);
    fake_.node(kUvc).open_errno = 0;
    std::unique_ptr<CameraStream> stream;
    // Nothing to read from before activation.
    EXPECT_EQ(uvc->open_stream(mjpeg_vga(), &stream), MF_E_SHUTDOWN);
    ASSERT_EQ(uvc->activate(), S_OK);
    EXPECT_EQ(uvc->create_reader(), S_OK);
    uvc->source_shutdown();
    EXPECT_EQ(uvc->create_reader(), MF_E_SHUTDOWN);
    // The node number passed to a virtual camera (trelvo's own loopback device, say).
    fake_.node(kUvc).driver = "v4l2 loopback";
    EXPECT_EQ(uvc->activate(), MFCOMPAT_E_DEVICE_NOT_CONNECTED);
    fake_.node(kUvc).driver = "uvcvideo";
    fake_.unplug(kUvc);
    EXPECT_EQ(uvc->activate(), MFCOMPAT_E_DEVICE_NOT_CONNECTED);
}

class V4l2DeviceLoss : public V4l2Stream, public ::testing::WithParamInterface<bool> {};

TEST_P(V4l2DeviceLoss, UnplugWhileStreamingFailsTheReadAndItStaysFailed) {
    fake_.node(kUvc).poll_error_on_unplug = GetParam();
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(), &stream), S_OK);
    fake_.push_frame(kUvc, frame_bytes(1, 500), timeval{1, 0});
    ASSERT_TRUE(stream->read().has_sample);
    {
        BackgroundRead read(stream.get(), &fake_);
        ASSERT_TRUE(fake_.wait_for_blocked_polls(1, kWait));
        fake_.unplug(kUvc);
        ASSERT_TRUE(read.done(kWait));
        ReadResult r = read.result();
        EXPECT_EQ(uint32_t(r.hr), 0xC00D3EA2u);
        EXPECT_FALSE(r.has_sample);
    }
    EXPECT_EQ(stream->read().hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    // The camera is gone for reconnection too.
    EXPECT_EQ(camera_->create_reader(), MFCOMPAT_E_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(camera_->activate(), MFCOMPAT_E_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(device(kUvcLink));
    // Teardown of a vanished device still releases everything.
    stream->flush();
    stream->shutdown();
    EXPECT_EQ(fake_.live_mappings(), 0);
}

INSTANTIATE_TEST_SUITE_P(PollErrorOrFailingDequeue, V4l2DeviceLoss, ::testing::Bool());

using V4l2Wake = V4l2Stream;

TEST_F(V4l2Wake, FlushFromAnotherThreadEndsABlockedReadWithoutASample) {
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(), &stream), S_OK);
    {
        BackgroundRead read(stream.get(), &fake_);
        ASSERT_TRUE(fake_.wait_for_blocked_polls(1, kWait));
        stream->flush();
        ASSERT_TRUE(read.done(kWait)) << "flush did not wake the read";
        ReadResult r = read.result();
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_EQ(r.stream_flags, 0u);
        EXPECT_FALSE(r.has_sample);
    }
    // The stream goes on after a flush.
    fake_.push_frame(kUvc, frame_bytes(4, 300), timeval{7, 0});
    ReadResult r = stream->read();
    EXPECT_TRUE(r.has_sample);
    EXPECT_EQ(r.data, frame_bytes(4, 300));
}

TEST_F(V4l2Wake, FlushDiscardsFramesCapturedBeforeIt) {
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(), &stream), S_OK);
    fake_.push_frame(kUvc, frame_bytes(1, 100), timeval{1, 0});
    fake_.push_frame(kUvc, frame_bytes(2, 100), timeval{2, 0});
    stream->flush();
    ReadResult r = stream->read();
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_FALSE(r.has_sample);
    fake_.push_frame(kUvc, frame_bytes(3, 100), timeval{3, 0});
    r = stream->read();
    ASSERT_TRUE(r.has_sample);
    EXPECT_EQ(r.data, frame_bytes(3, 100));
}

TEST_F(V4l2Wake, ShutdownFromAnotherThreadEndsABlockedReadAndReleasesTheDevice) {
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(), &stream), S_OK);
    {
        BackgroundRead read(stream.get(), &fake_);
        ASSERT_TRUE(fake_.wait_for_blocked_polls(1, kWait));
        stream->shutdown();
        ASSERT_TRUE(read.done(kWait)) << "shutdown did not wake the read";
        EXPECT_EQ(read.result().hr, MF_E_SHUTDOWN);
    }
    EXPECT_EQ(fake_.streamoffs(), 1);
    EXPECT_EQ(fake_.live_mappings(), 0);
    EXPECT_EQ(stream->read().hr, MF_E_SHUTDOWN);
    stream->shutdown();  // twice is harmless
    EXPECT_EQ(fake_.streamoffs(), 1);
}

TEST_F(V4l2Wake, SourceShutdownEndsTheReadersStream) {
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(), &stream), S_OK);
    {
        BackgroundRead read(stream.get(), &fake_);
        ASSERT_TRUE(fake_.wait_for_blocked_polls(1, kWait));
        camera_->source_shutdown();
        ASSERT_TRUE(read.done(kWait)) << "source shutdown did not wake the read";
        EXPECT_EQ(read.result().hr, MF_E_SHUTDOWN);
    }
    EXPECT_EQ(fake_.streamoffs(), 1);
    EXPECT_EQ(fake_.live_mappings(), 0);
    std::unique_ptr<CameraStream> another;
    EXPECT_EQ(camera_->open_stream(mjpeg_vga(), &another), MF_E_SHUTDOWN);
    // A new activation opens the camera again, as a reconnection does.
    ASSERT_EQ(camera_->activate(), S_OK);
    ASSERT_EQ(camera_->open_stream(mjpeg_vga(), &another), S_OK);
    fake_.push_frame(kUvc, frame_bytes(5, 50), timeval{1, 0});
    EXPECT_TRUE(another->read().has_sample);
}

}  // namespace
}  // namespace fakev4l2

namespace fakev4l2 {
namespace {

// A signal may interrupt any call into the driver: the backend makes it again, and nothing else
// changes (every type listed, the stream opened, the frame read).
struct Interruption {
    const char* name;
    unsigned long request;  // 0: the read's poll
};
void PrintTo(const Interruption& i, std::ostream* os) { *os << i.name; }

class V4l2Interrupted : public V4l2Stream, public ::testing::WithParamInterface<Interruption> {};

TEST_P(V4l2Interrupted, CallIsMadeAgain) {
    if (GetParam().request) fake_.node(kUvc).interrupt_request = GetParam().request;
    else fake_.interrupt_next_poll();
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(open(mjpeg_vga(15), &stream), S_OK);
    EXPECT_EQ(camera_->native_formats().size(), 5u);
    EXPECT_EQ(fake_.set_intervals().size(), 1u);
    {
        BackgroundRead read(stream.get(), &fake_);
        ASSERT_TRUE(fake_.wait_for_blocked_polls(1, kWait));
        fake_.push_frame(kUvc, frame_bytes(9, 300), timeval{1, 0});
        ASSERT_TRUE(read.done(kWait));
        ReadResult r = read.result();
        EXPECT_EQ(r.hr, S_OK);
        EXPECT_TRUE(r.has_sample);
        EXPECT_EQ(r.data, frame_bytes(9, 300));
    }
    EXPECT_EQ(fake_.interruptions(), 1);
    stream.reset();
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, V4l2Interrupted,
    ::testing::Values(Interruption{"QUERYCAP", VIDIOC_QUERYCAP}, Interruption{"ENUM_FMT", VIDIOC_ENUM_FMT},
                      Interruption{"ENUM_FRAMESIZES", VIDIOC_ENUM_FRAMESIZES},
                      Interruption{"ENUM_FRAMEINTERVALS", VIDIOC_ENUM_FRAMEINTERVALS},
                      Interruption{"S_FMT", VIDIOC_S_FMT}, Interruption{"G_PARM", VIDIOC_G_PARM},
                      Interruption{"S_PARM", VIDIOC_S_PARM}, Interruption{"REQBUFS", VIDIOC_REQBUFS},
                      Interruption{"QUERYBUF", VIDIOC_QUERYBUF}, Interruption{"QBUF", VIDIOC_QBUF},
                      Interruption{"STREAMON", VIDIOC_STREAMON}, Interruption{"DQBUF", VIDIOC_DQBUF},
                      Interruption{"poll", 0}),
    [](const ::testing::TestParamInfo<Interruption>& info) { return std::string(info.param.name); });

// A node that does not open says so on stderr once per errno, however often it is tried, and
// not at all when the platform log is switched off.
TEST_F(V4l2Stream, NodeThatDoesNotOpenIsLoggedOncePerCause) {
    auto line = [](int err) {
        return "mfcompat: cannot open V4L2 device " + std::string(kStepwise) + ": " + std::strerror(err) +
               " (errno " + std::to_string(err) + ")\n";
    };
    auto tried_twice = [&] {
        ::testing::internal::CaptureStderr();
        mfcompat::v4l2_enumerate_devices();
        mfcompat::v4l2_enumerate_devices();
        return ::testing::internal::GetCapturedStderr();
    };
    fake_.node(kStepwise).open_errno = EPERM;
    EXPECT_EQ(tried_twice(), line(EPERM));

    fake_.node(kStepwise).open_errno = EROFS;
    ::setenv("TRELVO_PLATFORM_LOG", "off", 1);
    EXPECT_EQ(tried_twice(), "");
    ::unsetenv("TRELVO_PLATFORM_LOG");
    EXPECT_EQ(tried_twice(), line(EROFS)) << "a cause kept quiet is told once the log is back";
}

}  // namespace
}  // namespace fakev4l2
