// The v4l2loopback output, against a fake device put in the system call
// table, and the balance of every descriptor and mapping the library makes.
#include "vcam_fixture.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <map>
#include <mutex>
#include <set>

namespace {

constexpr char kLoopback[] = "v4l2 loopback";
// What every v4l2loopback node reports besides video output or capture.
constexpr uint32_t kLoopbackBaseCaps = V4L2_CAP_STREAMING | V4L2_CAP_READWRITE | V4L2_CAP_EXT_PIX_FORMAT;

// A device of another driver answers with fixed capabilities. A v4l2loopback device (exclusive_caps=1)
// follows the driver's rule instead, starting from `caps`: it is an output while nobody writes, a
// capture device while a writer streams, and neither once a writer closed without having streamed;
// the module must then be reloaded.
struct FakeDevice {
    FakeDevice() = default;
    FakeDevice(std::string driver_name, uint32_t initial_caps, bool adjusts = false, int refuses_format = 0)
        : driver(std::move(driver_name)),
          caps(initial_caps),
          adjusts_width(adjusts),
          refuses(refuses_format),
          output((initial_caps & V4L2_CAP_VIDEO_OUTPUT) != 0),
          capture(!output && (initial_caps & V4L2_CAP_VIDEO_CAPTURE) != 0) {}  // another program writes

    std::string driver;
    uint32_t caps = 0;
    bool adjusts_width = false;    // answers S_FMT with another width
    int refuses = 0;               // S_FMT fails with this errno
    int refuses_stream = 0;        // STREAMON fails with this errno
    bool needs_streamoff = false;  // newer drivers: a stream not stopped before close keeps the device

    uint32_t device_caps() const {
        if (driver != kLoopback) return caps;
        return kLoopbackBaseCaps | (output ? V4L2_CAP_VIDEO_OUTPUT : 0u) | (capture ? V4L2_CAP_VIDEO_CAPTURE : 0u);
    }
    void stream_on(int fd) {
        streamer = fd;
        stopped = false;
        output = false;
        capture = true;
    }
    void stream_off(int fd) {
        if (fd == streamer) stopped = true;
    }
    void wrote(int fd) {
        if (driver != kLoopback || fd == streamer) return;
        unstreamed_writers.insert(fd);
        output = false;
        capture = true;
    }
    void closed(int fd) {
        if (driver != kLoopback) return;
        if (fd == streamer) {
            streamer = -1;
            if (stopped || !needs_streamoff) {
                output = true;
                capture = false;
            }
        } else if (unstreamed_writers.erase(fd) && unstreamed_writers.empty() && streamer < 0) {
            capture = false;
        }
    }

private:
    int streamer = -1;                 // the descriptor that streams
    bool stopped = false;              // ... and has stopped
    std::set<int> unstreamed_writers;  // descriptors that wrote without streaming
    bool output = false, capture = false;
};

struct Write {
    int fd;
    std::vector<unsigned char> bytes;
};

// One fake world at a time; the table holds plain functions.
struct Fake {
    std::mutex mutex;
    trelvohdcam_sys real{};
    std::map<std::string, FakeDevice> devices;
    std::map<int, std::string> open_fds;  // fake device fds
    int next_fd = 10000;
    std::vector<std::string> opened_paths;
    std::vector<v4l2_format> formats;  // S_FMT requests as received
    std::vector<v4l2_streamparm> parms;
    std::vector<std::string> calls;  // S_FMT, S_PARM, STREAMON, STREAMOFF and closes of loopback devices
    std::vector<Write> writes;
    int write_errno = 0;  // non-zero: writes fail with it
    unsigned long interrupt_request = 0;  // the next ioctl of this request fails with EINTR ...
    bool interrupt_write = false;         // ... and the next write
    int interruptions = 0;
    int device_opens = 0, device_closes = 0;
    int shm_opens = 0, shm_closes = 0;
    int maps = 0, unmaps = 0;
    std::set<int> shm_fds;
};
Fake* g_fake = nullptr;

int fake_open(const char* path, int) {
    std::lock_guard<std::mutex> l(g_fake->mutex);
    g_fake->opened_paths.push_back(path);
    if (!g_fake->devices.count(path)) {
        errno = ENOENT;
        return -1;
    }
    int fd = g_fake->next_fd++;
    g_fake->open_fds[fd] = path;
    ++g_fake->device_opens;
    return fd;
}
int fake_close(int fd) {
    std::lock_guard<std::mutex> l(g_fake->mutex);
    auto it = g_fake->open_fds.find(fd);
    if (it != g_fake->open_fds.end()) {
        FakeDevice& dev = g_fake->devices[it->second];
        if (dev.driver == kLoopback) g_fake->calls.push_back("close");
        dev.closed(fd);
        g_fake->open_fds.erase(it);
        ++g_fake->device_closes;
        return 0;
    }
    if (g_fake->shm_fds.erase(fd)) ++g_fake->shm_closes;
    return g_fake->real.close(fd);
}
int fake_ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> l(g_fake->mutex);
    auto it = g_fake->open_fds.find(fd);
    if (it == g_fake->open_fds.end()) {
        errno = EBADF;
        return -1;
    }
    FakeDevice& dev = g_fake->devices[it->second];
    if (g_fake->interrupt_request == request) {
        g_fake->interrupt_request = 0;
        ++g_fake->interruptions;
        errno = EINTR;
        return -1;
    }
    if (request == VIDIOC_QUERYCAP) {
        auto* cap = static_cast<v4l2_capability*>(arg);
        std::memset(cap, 0, sizeof *cap);
        std::strncpy(reinterpret_cast<char*>(cap->driver), dev.driver.c_str(), sizeof cap->driver - 1);
        cap->device_caps = dev.device_caps();
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    if (request == VIDIOC_S_FMT) {
        auto* fmt = static_cast<v4l2_format*>(arg);
        g_fake->formats.push_back(*fmt);
        g_fake->calls.push_back("S_FMT");
        if (dev.refuses) {
            errno = dev.refuses;
            return -1;
        }
        if (dev.adjusts_width) fmt->fmt.pix.width += 16;
        return 0;
    }
    if (request == VIDIOC_S_PARM) {
        g_fake->parms.push_back(*static_cast<v4l2_streamparm*>(arg));
        g_fake->calls.push_back("S_PARM");
        return 0;
    }
    if ((request == VIDIOC_STREAMON || request == VIDIOC_STREAMOFF) && dev.driver == kLoopback) {
        const bool on = request == VIDIOC_STREAMON;
        g_fake->calls.push_back(on ? "STREAMON" : "STREAMOFF");
        if (*static_cast<int*>(arg) != V4L2_BUF_TYPE_VIDEO_OUTPUT) {
            errno = EINVAL;
            return -1;
        }
        if (on && dev.refuses_stream) {
            errno = dev.refuses_stream;
            return -1;
        }
        if (on)
            dev.stream_on(fd);
        else
            dev.stream_off(fd);
        return 0;
    }
    errno = ENOTTY;
    return -1;
}
ssize_t fake_write(int fd, const void* data, size_t size) {
    std::lock_guard<std::mutex> l(g_fake->mutex);
    if (!g_fake->open_fds.count(fd)) {
        errno = EBADF;
        return -1;
    }
    if (g_fake->interrupt_write) {
        g_fake->interrupt_write = false;
        ++g_fake->interruptions;
        errno = EINTR;
        return -1;
    }
    if (g_fake->write_errno) {
        errno = g_fake->write_errno;
        return -1;
    }
    g_fake->devices[g_fake->open_fds[fd]].wrote(fd);
    const auto* b = static_cast<const unsigned char*>(data);
    g_fake->writes.push_back({fd, std::vector<unsigned char>(b, b + size)});
    return static_cast<ssize_t>(size);
}
int fake_shm_open(const char* name, int flags, mode_t mode) {
    int fd = g_fake->real.shm_open(name, flags, mode);
    std::lock_guard<std::mutex> l(g_fake->mutex);
    if (fd >= 0) {
        ++g_fake->shm_opens;
        g_fake->shm_fds.insert(fd);
    }
    return fd;
}
void* fake_mmap(void* address, size_t size, int prot, int flags, int fd, off_t offset) {
    void* p = g_fake->real.mmap(address, size, prot, flags, fd, offset);
    std::lock_guard<std::mutex> l(g_fake->mutex);
    if (p != MAP_FAILED) ++g_fake->maps;
    return p;
}
int fake_munmap(void* address, size_t size) {
    {
        std::lock_guard<std::mutex> l(g_fake->mutex);
        ++g_fake->unmaps;
    }
    return g_fake->real.munmap(address, size);
}

class LoopbackTest : public VcamTest {
protected:
    void SetUp() override {
        VcamTest::SetUp();
        ::unsetenv("TRELVOHDCAM_LOOPBACK");
        fake_ = std::make_unique<Fake>();
        g_fake = fake_.get();
        trelvohdcam_sys_defaults(&fake_->real);
        trelvohdcam_sys table = fake_->real;
        table.open = fake_open;
        table.close = fake_close;
        table.ioctl = fake_ioctl;
        table.write = fake_write;
        table.shm_open = fake_shm_open;
        table.mmap = fake_mmap;
        table.munmap = fake_munmap;
        trelvohdcam_sys_set(&table);
        // A real camera first: the scan must pass over it.
        fake_->devices["/dev/video0"] = {"uvcvideo", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING};
        fake_->devices["/dev/video3"] = {"v4l2 loopback", V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING};
    }
    void TearDown() override {
        VcamTest::TearDown();  // deletes cameras through the fake, then restores the table
        g_fake = nullptr;
    }
    void expect_balanced() {
        std::lock_guard<std::mutex> l(fake_->mutex);
        EXPECT_EQ(fake_->device_opens, fake_->device_closes);
        EXPECT_TRUE(fake_->open_fds.empty());
        EXPECT_EQ(fake_->shm_opens, fake_->shm_closes);
        EXPECT_EQ(fake_->maps, fake_->unmaps);
    }
    // The device the channel names at offset 80, read as any other process would.
    std::string channel_loopback() const {
        int fd = ::shm_open(channel_.c_str(), O_RDONLY, 0);
        if (fd < 0) return "<no channel>";
        void* m = ::mmap(nullptr, TRELVOHDCAM_CHANNEL_HEADER_SIZE, PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        if (m == MAP_FAILED) return "<no channel>";
        const char* field = static_cast<const char*>(m) + 80;
        std::string path(field, strnlen(field, TRELVOHDCAM_CHANNEL_LOOPBACK_SIZE));
        ::munmap(m, TRELVOHDCAM_CHANNEL_HEADER_SIZE);
        return path;
    }
    std::unique_ptr<Fake> fake_;
};

}  // namespace

TEST_F(LoopbackTest, Bgr24CameraSetsTheFormatOnTheLoopbackDeviceAndWritesEachPicture) {
    void* cam = scCreateCamera(320, 240, 30.0f, 0);
    ASSERT_NE(cam, nullptr);
    {
        std::lock_guard<std::mutex> l(fake_->mutex);
        ASSERT_EQ(fake_->formats.size(), 1u) << "only the loopback device gets a format";
        const v4l2_format& f = fake_->formats[0];
        EXPECT_EQ(f.type, (uint32_t)V4L2_BUF_TYPE_VIDEO_OUTPUT);
        EXPECT_EQ(f.fmt.pix.width, 320u);
        EXPECT_EQ(f.fmt.pix.height, 240u);
        EXPECT_EQ(f.fmt.pix.pixelformat, (uint32_t)V4L2_PIX_FMT_BGR24);
        EXPECT_EQ(f.fmt.pix.bytesperline, 960u);
        EXPECT_EQ(f.fmt.pix.sizeimage, 320u * 240 * 3);
        EXPECT_EQ(f.fmt.pix.field, (uint32_t)V4L2_FIELD_NONE);
        ASSERT_EQ(fake_->parms.size(), 1u);
        EXPECT_EQ(fake_->parms[0].parm.output.timeperframe.numerator * 30u,
                  fake_->parms[0].parm.output.timeperframe.denominator);
        EXPECT_EQ(fake_->device_opens, 2);
        EXPECT_EQ(fake_->device_closes, 1) << "the real camera was closed after the query";
        EXPECT_EQ(fake_->open_fds.begin()->second, "/dev/video3");
    }
    auto a = pattern(320 * 240 * 3, 1);
    auto b = pattern(320 * 240 * 3, 2);
    ASSERT_EQ(scSendFrame(cam, a.data()), 0);
    ASSERT_EQ(scSendFrame(cam, b.data()), 0);
    {
        std::lock_guard<std::mutex> l(fake_->mutex);
        ASSERT_EQ(fake_->writes.size(), 2u);
        EXPECT_EQ(fake_->writes[0].bytes, a);
        EXPECT_EQ(fake_->writes[1].bytes, b);
    }
    scDeleteCamera(cam);
    expect_balanced();
}

TEST_F(LoopbackTest, Yuy2CameraUsesYuyvAndOtherTypesOpenNoDevice) {
    void* cam = scCreateCamera(64, 30, 15.0f, 1);
    auto p = pattern(64 * 30 * 2, 4);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    {
        std::lock_guard<std::mutex> l(fake_->mutex);
        ASSERT_EQ(fake_->formats.size(), 1u);
        EXPECT_EQ(fake_->formats[0].fmt.pix.pixelformat, (uint32_t)V4L2_PIX_FMT_YUYV);
        EXPECT_EQ(fake_->formats[0].fmt.pix.width, 64u);
        EXPECT_EQ(fake_->formats[0].fmt.pix.height, 30u);
        EXPECT_EQ(fake_->formats[0].fmt.pix.bytesperline, 128u);
        EXPECT_EQ(fake_->formats[0].fmt.pix.sizeimage, 64u * 30 * 2);
        ASSERT_EQ(fake_->writes.size(), 1u);
        EXPECT_EQ(fake_->writes[0].bytes, p);
    }
    scDeleteCamera(cam);

    const size_t paths_before = fake_->opened_paths.size();
    void* other = scCreateCamera(64, 30, 15.0f, 9);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(scSendFrame(other, p.data()), 0);
    scDeleteCamera(other);
    EXPECT_EQ(fake_->opened_paths.size(), paths_before) << "nothing to present, nothing opened";
    EXPECT_EQ(fake_->shm_opens, 1) << "and no channel for it either";
    expect_balanced();
}

TEST_F(LoopbackTest, DevicesThatRefuseTheFormatAreSkippedAndAbsenceIsSilent) {
    fake_->devices["/dev/video1"] = {"v4l2 loopback", V4L2_CAP_VIDEO_OUTPUT, true};
    fake_->devices["/dev/video2"] = {"v4l2 loopback", V4L2_CAP_VIDEO_CAPTURE};  // no output
    void* cam = scCreateCamera(100, 50, 30.0f, 0);
    {
        std::lock_guard<std::mutex> l(fake_->mutex);
        ASSERT_EQ(fake_->open_fds.size(), 1u);
        EXPECT_EQ(fake_->open_fds.begin()->second, "/dev/video3");
        EXPECT_EQ(fake_->formats.size(), 2u) << "video1 adjusted the width and was left";
    }
    scDeleteCamera(cam);
    expect_balanced();

    fake_->devices.clear();
    void* alone = scCreateCamera(100, 50, 30.0f, 0);
    ASSERT_NE(alone, nullptr);
    auto p = filled(100 * 50 * 3, 3);
    EXPECT_EQ(scSendFrame(alone, p.data()), 0) << "no device is normal";
    EXPECT_GE(fake_->opened_paths.size(), 64u) << "the scan covers /dev/video0..63";
    scDeleteCamera(alone);
    expect_balanced();
}

TEST_F(LoopbackTest, EnvironmentChoosesOneDeviceOrNone) {
    ::setenv("TRELVOHDCAM_LOOPBACK", "off", 1);
    void* cam = scCreateCamera(8, 8, 30.0f, 0);
    EXPECT_TRUE(fake_->opened_paths.empty());
    EXPECT_EQ(channel_loopback(), "") << "the channel says there is no device";
    scDeleteCamera(cam);

    fake_->devices["/dev/video9"] = {"v4l2 loopback", V4L2_CAP_VIDEO_OUTPUT};
    ::setenv("TRELVOHDCAM_LOOPBACK", "/dev/video9", 1);
    cam = scCreateCamera(8, 8, 30.0f, 0);
    ASSERT_EQ(fake_->opened_paths, std::vector<std::string>{"/dev/video9"});
    EXPECT_EQ(channel_loopback(), "/dev/video9") << "readers learn which device shows the camera";
    auto p = filled(8 * 8 * 3, 1);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    EXPECT_EQ(fake_->writes.size(), 1u);
    scDeleteCamera(cam);
    expect_balanced();
}

TEST_F(LoopbackTest, AFailingDeviceIsGivenUpAndAFullOneDropsOnlyThatPicture) {
    void* cam = scCreateCamera(8, 8, 30.0f, 0);
    auto p = filled(8 * 8 * 3, 1);
    fake_->write_errno = EAGAIN;
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    fake_->write_errno = 0;
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    EXPECT_EQ(fake_->writes.size(), 1u);
    EXPECT_EQ(fake_->device_closes, 1) << "only the probed camera";

    fake_->write_errno = ENODEV;
    ASSERT_EQ(scSendFrame(cam, p.data()), 0) << "the camera still takes pictures";
    EXPECT_EQ(fake_->device_closes, 2) << "the vanished device is closed at once";
    fake_->write_errno = 0;
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    EXPECT_EQ(fake_->writes.size(), 1u);
    scDeleteCamera(cam);
    expect_balanced();
}

TEST_F(LoopbackTest, NothingLeaksAcrossCamerasReadersAndTakeOvers) {
    std::vector<unsigned char> buf(1 << 16);
    for (int round = 0; round < 3; ++round) {
        void* a = scCreateCamera(16 + round * 8, 16, 30.0f, round % 2);
        void* b = scCreateCamera(32, 8, 30.0f, 0);  // takes channel and device over
        auto p = filled(32 * 8 * 3, static_cast<unsigned char>(round));
        ASSERT_EQ(scSendFrame(b, p.data()), 0);
        ASSERT_EQ(scSendFrame(a, p.data()), 0);
        trelvohdcam_reader* r = trelvohdcam_reader_open(nullptr);
        trelvohdcam_picture_info info{};
        ASSERT_EQ(trelvohdcam_reader_wait(r, 0, 500, buf.data(), buf.size(), &info), TRELVOHDCAM_READ_OK);
        EXPECT_EQ(info.width, 32);
        scDeleteCamera(b);
        // A closed channel makes the reader look for a replacement each time.
        EXPECT_EQ(trelvohdcam_reader_wait(r, info.sequence, 5, buf.data(), buf.size(), &info),
                  TRELVOHDCAM_READ_TIMEOUT);
        trelvohdcam_reader_close(r);
        scDeleteCamera(a);
    }
    {
        std::lock_guard<std::mutex> l(fake_->mutex);
        EXPECT_EQ(fake_->writes.size(), 3u) << "only the live owner of the device writes";
        EXPECT_GE(fake_->shm_opens, 6);
        EXPECT_GE(fake_->maps, 6);
    }
    expect_balanced();
}

namespace {

// A signal may interrupt any call into the device: the library makes it again, and the camera
// shows on the device as if nothing happened.
struct Interruption {
    const char* name;
    unsigned long request;  // 0: the write of a picture
};
void PrintTo(const Interruption& i, std::ostream* os) { *os << i.name; }

class LoopbackInterrupted : public LoopbackTest, public ::testing::WithParamInterface<Interruption> {};

TEST_P(LoopbackInterrupted, CallIsMadeAgain) {
    ::setenv("TRELVOHDCAM_LOOPBACK", "/dev/video3", 1);
    fake_->devices["/dev/video3"].needs_streamoff = true;
    fake_->interrupt_request = GetParam().request;
    fake_->interrupt_write = GetParam().request == 0;
    void* cam = scCreateCamera(8, 8, 30.0f, 0);
    auto p = filled(8 * 8 * 3, 7);
    ASSERT_EQ(scSendFrame(cam, p.data()), 0);
    {
        std::lock_guard<std::mutex> l(fake_->mutex);
        EXPECT_EQ(fake_->formats.size(), 1u);
        EXPECT_EQ(fake_->parms.size(), 1u);
        ASSERT_EQ(fake_->writes.size(), 1u);
        EXPECT_EQ(fake_->writes[0].bytes, p);
        EXPECT_EQ(fake_->device_closes, 0) << "the device was kept";
    }
    scDeleteCamera(cam);
    EXPECT_EQ(fake_->interruptions, 1);
    EXPECT_EQ(fake_->devices["/dev/video3"].device_caps(), kLoopbackBaseCaps | V4L2_CAP_VIDEO_OUTPUT)
        << "the stream was started and stopped";
    expect_balanced();
}

INSTANTIATE_TEST_SUITE_P(EveryCall, LoopbackInterrupted,
                         ::testing::Values(Interruption{"QUERYCAP", VIDIOC_QUERYCAP}, Interruption{"S_FMT", VIDIOC_S_FMT},
                                           Interruption{"S_PARM", VIDIOC_S_PARM}, Interruption{"STREAMON", VIDIOC_STREAMON},
                                           Interruption{"STREAMOFF", VIDIOC_STREAMOFF}, Interruption{"write", 0}),
                         [](const ::testing::TestParamInfo<Interruption>& info) { return std::string(info.param.name); });

// What keeps the camera off a device or the channel is said on stderr once per cause, however many
// cameras try, and not at all when the platform log is switched off.
TEST_F(LoopbackTest, FailuresAreLoggedOncePerCause) {
    fake_->devices["/dev/video1"] = {"v4l2 loopback", V4L2_CAP_VIDEO_OUTPUT, true};
    fake_->devices["/dev/video2"] = {"v4l2 loopback", V4L2_CAP_VIDEO_OUTPUT, false, EPERM};
    fake_->devices["/dev/video3"].refuses_stream = EBUSY;
    fake_->devices["/dev/video4"] = {"v4l2 loopback", V4L2_CAP_VIDEO_OUTPUT};
    auto two_cameras = [](int width) {
        ::testing::internal::CaptureStderr();
        for (int i = 0; i < 2; ++i) scDeleteCamera(scCreateCamera(width, 50, 30.0f, 0));
        return ::testing::internal::GetCapturedStderr();
    };
    auto error = [](int err) { return std::string(": ") + std::strerror(err) + " (errno " + std::to_string(err) + ")"; };
    EXPECT_EQ(two_cameras(98),
              "trelvohdcam: loopback device /dev/video1 refuses 98x50 BGR3 (offers 114x50 BGR3)\n"
              "trelvohdcam: loopback device /dev/video2 refuses 98x50 BGR3" + error(EPERM) + "\n"
              "trelvohdcam: loopback device /dev/video3 refuses to start streaming" + error(EBUSY) + "\n");

    ::setenv(TRELVOHDCAM_CHANNEL_ENV, "trelvo/log-test", 1);
    ::setenv("TRELVOHDCAM_LOOPBACK", "off", 1);
    EXPECT_EQ(two_cameras(98),
              "trelvohdcam: TRELVOHDCAM_CHANNEL=\"trelvo/log-test\" is no channel name (at most 255 characters, "
              "no '/' but the first); nothing is published\n");

    ::setenv(TRELVOHDCAM_CHANNEL_ENV, channel_.c_str(), 1);
    ::unsetenv("TRELVOHDCAM_LOOPBACK");
    ::setenv("TRELVO_PLATFORM_LOG", "off", 1);
    EXPECT_EQ(two_cameras(97), "");
    ::unsetenv("TRELVO_PLATFORM_LOG");
    expect_balanced();
}

// One module load serves any number of relays: each writer streams, and hands the device back as an
// output when it ends, on the driver of Debian 12 (0.12) and on newer ones that need the stream stopped.
class LoopbackSessions : public LoopbackTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LoopbackSessions, EachSessionStreamsAndLeavesTheDeviceAnOutput) {
    FakeDevice& dev = fake_->devices["/dev/video3"];
    dev.needs_streamoff = GetParam();
    const uint32_t output = kLoopbackBaseCaps | V4L2_CAP_VIDEO_OUTPUT;
    const uint32_t capture = kLoopbackBaseCaps | V4L2_CAP_VIDEO_CAPTURE;
    for (int session = 0; session < 3; ++session) {
        SCOPED_TRACE("session " + std::to_string(session));
        fake_->calls.clear();
        const int width = 33 + session;  // the YUY2 session gets the even width
        void* cam = scCreateCamera(width, 8, 30.0f, session % 2);
        auto p = pattern(static_cast<size_t>(width) * 8 * (session % 2 ? 2 : 3), session);
        ASSERT_EQ(scSendFrame(cam, p.data()), 0);
        ASSERT_EQ(fake_->writes.size(), static_cast<size_t>(session + 1)) << "the device was no output";
        EXPECT_EQ(dev.device_caps(), capture) << "readers see a camera";
        scDeleteCamera(cam);
        EXPECT_EQ(fake_->calls, (std::vector<std::string>{"S_FMT", "S_PARM", "STREAMON", "STREAMOFF", "close"}));
        EXPECT_EQ(dev.device_caps(), output);
    }
    expect_balanced();
}

INSTANTIATE_TEST_SUITE_P(Drivers, LoopbackSessions, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "StopBeforeClose" : "Debian12");
                         });

// A device the environment names but no writer can use says why, and what brings it back.
TEST_F(LoopbackTest, NamedDeviceThatCannotBeUsedSaysWhy) {
    const std::string reload =
        "reload the module: sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback devices=1 video_nr=10 "
        "card_label=\"trelvo\" exclusive_caps=1\n";
    const struct {
        const char* driver;
        uint32_t caps;
        std::string says;
    } cases[] = {
        {"v4l2 loopback", 0, "was left unusable by an earlier writer; " + reload},
        {"v4l2 loopback", V4L2_CAP_VIDEO_CAPTURE, "is taken by another writer; if none runs, " + reload},
        {"uvcvideo", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, "is no v4l2loopback device\n"},
    };
    int n = 20;
    for (const auto& c : cases) {
        const std::string path = "/dev/video" + std::to_string(n++);
        fake_->devices[path] = {c.driver, c.caps};
        ::setenv("TRELVOHDCAM_LOOPBACK", path.c_str(), 1);
        ::testing::internal::CaptureStderr();
        scDeleteCamera(scCreateCamera(8, 8, 30.0f, 0));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  "trelvohdcam: " + path + ", which TRELVOHDCAM_LOOPBACK names, " + c.says);
    }
    EXPECT_TRUE(fake_->writes.empty());
    EXPECT_TRUE(fake_->formats.empty());
    expect_balanced();
}

}  // namespace
