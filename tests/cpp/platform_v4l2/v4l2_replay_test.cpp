// The replay driver: its description checks, the recorded cameras, and the
// misbehaving streams it replays, seen from the backend's devices and streams.
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "camera_device.h"
#include "v4l2/v4l2_replay.h"
#include "v4l2/v4l2_testing.h"

namespace {

using mfcompat::CameraDevice;
using mfcompat::CameraStream;
using mfcompat::ReadResult;
using mfcompat::RequestedFormat;

// ---- descriptions ---------------------------------------------------------------------------

class TempFile {
public:
    explicit TempFile(const std::string& text) {
        char name[] = "/tmp/replay_test_XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        ::close(fd);
        path_ = name;
        std::ofstream(path_) << text;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

const std::string kSolid = std::string(TRELVO_TEST_DATA) + "/cameras/frames/solid-64x48.mjpg";

// The pictures of that file: two solid JPEG pictures of different colours.
std::vector<std::vector<uint8_t>> solid_pictures() {
    std::ifstream in(kSolid, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::vector<uint8_t>> pictures;
    size_t start = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9) {
            pictures.emplace_back(bytes.begin() + long(start), bytes.begin() + long(i + 2));
            start = i + 2;
        }
    }
    return pictures;
}

// A camera listing small MJPEG sizes at 200 fps, so that streams run fast, delivering the solid
// pictures at 64x48.
std::string small_camera(const std::string& quirks, const std::string& extra = "") {
    return R"({"nodes": [{"path": "/dev/video0", "links": ["/dev/v4l/by-id/usb-Test_Cam-video-index0"],
        "card": "Test Cam", "capabilities": "0x84a00001", "device_caps": "0x04200001",
        "formats": [{"fourcc": "MJPG", "sizes": ["64x48: 1/200", "32x24: 1/200"]}],
        "frames": [{"fourcc": "MJPG", "size": "64x48", "file": ")" + kSolid + R"("}],
        "quirks": )" + quirks + "}" + extra + "]}";
}

class Replay : public ::testing::Test {
protected:
    void TearDown() override { mfcompat::v4l2_set_syscalls(nullptr); }

    bool install(const std::string& path, std::string* error = nullptr) {
        std::string e;
        const mfcompat::V4l2Syscalls* table = mfcompat::v4l2_replay_load(path, &e);
        if (error) *error = e;
        if (!table) return false;
        mfcompat::v4l2_set_syscalls(table);
        return true;
    }

    static std::vector<std::shared_ptr<CameraDevice>> devices() { return mfcompat::v4l2_enumerate_devices(); }

    static std::string link_of(CameraDevice& d) {
        std::u16string l;
        d.symbolic_link(&l);
        return std::string(l.begin(), l.end());
    }

    // Opens the only camera at 64x48 MJPEG.
    std::unique_ptr<CameraStream> open_small() {
        auto list = devices();
        EXPECT_EQ(list.size(), 1u);
        if (list.size() != 1) return nullptr;
        device_ = list[0];
        std::unique_ptr<CameraStream> stream;
        EXPECT_EQ(device_->activate(), S_OK);
        EXPECT_EQ(device_->open_stream(RequestedFormat{MFVideoFormat_MJPG, 64, 48, 200, 1}, &stream), S_OK);
        return stream;
    }

    std::shared_ptr<CameraDevice> device_;
};

TEST_F(Replay, DescriptionsThatCannotBeReadSayWhy) {
    struct Bad {
        std::string text;
        const char* says;
    };
    const Bad bad[] = {
        // nlohmann-json's account, naming the line, and the parser's bounds.
        {"{\n\"nodes\": [],\n}", "parse error at line 3"},
        {"{\"nodes\": 1e999}", "number overflow"},
        {std::string(100, '[') + std::string(100, ']'), "nested too deeply"},
        {"{}", "missing \"nodes\""},
        {R"({"nodes": [{"card": "x", "capabilities": 1}]})", "missing \"path\""},
        {R"({"nodes": [{"path": "/dev/sda", "card": "x", "capabilities": 1}]})", "/dev/videoN"},
        {R"({"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": "0xZZ"}]})", "bad capabilities"},
        {R"({"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1,
             "formats": [{"fourcc": "MJPEG"}]}]})", "one to four characters"},
        {R"({"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1,
             "formats": [{"fourcc": "MJPG", "sizes": ["640by480"]}]}]})", "WIDTHxHEIGHT"},
        {R"({"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1,
             "formats": [{"fourcc": "MJPG", "sizes": ["640x480: 30"]}]}]})", "N/D seconds"},
        {R"({"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1,
             "formats": [{"fourcc": "MJPG", "stepwise": "32x32 - 64x64"}]}]})", "step WxH"},
        {R"({"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1,
             "frames": [{"fourcc": "MJPG", "size": "8x8", "file": "no-such-file.mjpg"}]}]})", "cannot read"},
        {small_camera(R"({"lost_after": 3, "lost_errno": "EPIPE"})"), "ENODEV"},
        {small_camera("{}", R"(, {"path": "/dev/video0", "card": "y", "capabilities": 1})"), "two nodes"},
    };
    for (const Bad& b : bad) {
        TempFile file(b.text);
        std::string error;
        EXPECT_FALSE(install(file.path(), &error)) << b.text;
        EXPECT_NE(error.find(b.says), std::string::npos) << b.text << " gave: " << error;
        EXPECT_NE(error.find(file.path()), std::string::npos) << "the error names the file: " << error;
    }
    std::string error;
    EXPECT_FALSE(install("/no/such/description.json", &error));
    EXPECT_NE(error.find("cannot read"), std::string::npos);
}

// What a description may make the driver read or allocate is bounded: files that are no regular
// file (a FIFO would block for ever, /dev/zero never end) or too large, and sizes no camera
// delivers, are refused with a line naming the file.
TEST_F(Replay, InputsBeyondTheLimitsAreRefusedNamingTheFile) {
    char dir_template[] = "/tmp/replay_limits_XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    const std::string fifo = dir + "/fifo.json";  // also a description of the folder
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string huge = dir + "/huge";
    std::ofstream(huge).close();
    ASSERT_EQ(truncate(huge.c_str(), (off_t(64) << 20) + 1), 0);  // sparse: costs no disk
    const std::string markers = dir + "/markers.mjpg";
    {
        // A megabyte of end-of-image markers: half a million empty pieces, no picture.
        std::ofstream out(markers, std::ios::binary);
        for (int i = 0; i < (1 << 19); ++i) out << "\xFF\xD9";
    }
    auto node = [](const std::string& more) {
        return R"({"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1, )" + more + "}]}";
    };
    auto frames = [&](const std::string& file, const char* size = "64x48") {
        return node(R"("frames": [{"fourcc": "MJPG", "size": ")" + std::string(size) + R"(", "file": ")" + file +
                    R"("}])");
    };
    struct Bad {
        std::string text;
        std::string says;
    };
    const Bad bad[] = {
        {frames(fifo), fifo + " is not a regular file"},
        {frames("/dev/zero"), "/dev/zero is not a regular file"},
        {frames(huge), huge + " is larger than 64 MiB"},
        {frames(markers), "no whole frame in " + markers},
        {frames(kSolid, "16384x16384"), "16384x16384 is larger than supported"},
        {node(R"("formats": [{"fourcc": "MJPG", "sizes": ["65535x65535: 1/30"]}])"), "65535x65535 is larger"},
        {node(R"("formats": [{"fourcc": "YUYV", "sizes": ["16385x8"]}])"), "16385x8 is larger"},
        {node(R"("formats": [{"fourcc": "YUYV", "stepwise": "2x2 - 8x16385 step 2x2"}])"), "8x16385 is larger"},
    };
    for (const Bad& b : bad) {
        TempFile file(b.text);
        std::string error;
        EXPECT_FALSE(install(file.path(), &error)) << b.text;
        EXPECT_NE(error.find(b.says), std::string::npos) << b.text << " gave: " << error;
        EXPECT_NE(error.find(file.path()), std::string::npos) << "the error names the file: " << error;
    }
    // The description itself, and a description of a folder holding a FIFO.
    std::string error;
    EXPECT_FALSE(install(huge, &error));
    EXPECT_NE(error.find(huge + " is larger than 4 MiB"), std::string::npos) << error;
    EXPECT_FALSE(install(dir, &error));
    EXPECT_NE(error.find(fifo + " is not a regular file"), std::string::npos) << error;
    // The largest size allowed still loads.
    TempFile largest(node(R"("formats": [{"fourcc": "YUYV", "sizes": ["16384x5461: 1/30"]}])"));
    EXPECT_TRUE(install(largest.path(), &error)) << error;

    std::remove(fifo.c_str());
    std::remove(huge.c_str());
    std::remove(markers.c_str());
    ::rmdir(dir.c_str());
}

// Buffers of the largest picture allowed cost nothing until frames fill them, as a driver's own
// would: requesting and mapping them must not zero-fill hundreds of megabytes up front.
TEST_F(Replay, LargeBuffersAreNotFilledBeforeUse) {
    TempFile file(R"({"nodes": [{"path": "/dev/video0", "card": "x", "capabilities": 1,
        "formats": [{"fourcc": "YUYV", "sizes": ["16384x5461: 1/30"]}]}]})");
    std::string error;
    const mfcompat::V4l2Syscalls* sys = mfcompat::v4l2_replay_load(file.path(), &error);
    ASSERT_NE(sys, nullptr) << error;
    const int fd = sys->open("/dev/video0", 0);
    ASSERT_GE(fd, 0);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = 16384;
    fmt.fmt.pix.height = 5461;
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    ASSERT_EQ(sys->ioctl(fd, VIDIOC_S_FMT, &fmt), 0);
    ASSERT_EQ(fmt.fmt.pix.sizeimage, 16384u * 5461 * 2);  // 179 MB

    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    v4l2_requestbuffers req{};
    req.count = 4;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(sys->ioctl(fd, VIDIOC_REQBUFS, &req), 0);
    std::vector<std::pair<void*, size_t>> maps;
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        ASSERT_EQ(sys->ioctl(fd, VIDIOC_QUERYBUF, &buf), 0);
        void* at = sys->mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(buf.m.offset));
        ASSERT_NE(at, MAP_FAILED);
        EXPECT_EQ(static_cast<uint8_t*>(at)[buf.length - 1], 0);  // reads as zeros all the same
        maps.emplace_back(at, buf.length);
    }
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024) << "KiB resident for 4 unused buffers";
    for (auto& m : maps) EXPECT_EQ(sys->munmap(m.first, m.second), 0);
    EXPECT_EQ(sys->close(fd), 0);
}

// Enumeration work grows linearly with the nodes described: no call walks every node, and every
// link is resolved once. Counted, not timed: the driver's node clock looks and the realpath calls.
const mfcompat::V4l2Syscalls* g_counted_table = nullptr;
uint64_t g_realpath_calls = 0;
char* counted_realpath(const char* path, char* resolved) {
    ++g_realpath_calls;
    return g_counted_table->realpath(path, resolved);
}

TEST_F(Replay, EnumerationWorkGrowsLinearlyWithTheNodes) {
    auto work = [&](int nodes) {
        std::string text = R"({"nodes": [)";
        for (int i = 0; i < nodes; ++i) {
            const std::string n = std::to_string(i);
            text += std::string(i ? "," : "") + R"({"path": "/dev/video)" + n +
                    R"(", "links": ["/dev/v4l/by-id/usb-Cam)" + n + R"(-video-index0"], "card": "Cam )" + n +
                    R"(", "capabilities": "0x84a00001", "device_caps": "0x04200001",
                    "formats": [{"fourcc": "YUYV", "sizes": ["64x48: 1/30", "32x24: 1/30"]}]})";
        }
        TempFile file(text + "]}");
        std::string error;
        g_counted_table = mfcompat::v4l2_replay_load(file.path(), &error);
        EXPECT_NE(g_counted_table, nullptr) << error;
        if (!g_counted_table) return uint64_t(0);
        mfcompat::V4l2Syscalls counted = *g_counted_table;
        counted.realpath = counted_realpath;
        mfcompat::v4l2_set_syscalls(&counted);
        g_realpath_calls = 0;
        const uint64_t ticks = mfcompat::v4l2_replay_node_ticks();
        EXPECT_EQ(devices().size(), size_t(nodes));
        const uint64_t total = mfcompat::v4l2_replay_node_ticks() - ticks + g_realpath_calls;
        mfcompat::v4l2_set_syscalls(nullptr);
        return total;
    };
    const uint64_t small = work(32);
    const uint64_t large = work(128);
    EXPECT_GT(small, 0u);
    EXPECT_LE(large, 4 * small + 16) << "32 nodes: " << small << ", 128 nodes: " << large;
}

// Every recorded camera loads, each video node is one device with formats, and the metadata node
// beside a UVC video node is none.
class RecordedCamera : public Replay, public ::testing::WithParamInterface<const char*> {};

TEST_P(RecordedCamera, LoadsAsDevicesWithFormats) {
    std::string path = std::string(TRELVO_TEST_DATA) + "/cameras/" + GetParam();
    std::string error;
    ASSERT_TRUE(install(path, &error)) << error;
    auto list = devices();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list[0]->native_formats().empty());
    std::u16string name;
    EXPECT_TRUE(list[0]->friendly_name(&name) && !name.empty());
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RecordedCamera,
                         ::testing::Values("logitech-c920.json", "logitech-c930e.json", "kodak-pixpro-4k.json",
                                           "webcam-27-5fps.json", "raspberry-pi-camera-stepwise.json",
                                           "elgato-cam-link-4k-1080p25.json", "elgato-cam-link-4k-2160p30.json",
                                           "via-h264-camera.json"));

TEST_F(Replay, DirectoryGivesEveryCameraAndRenumbersClashingNodes) {
    std::string error;
    ASSERT_TRUE(install(std::string(TRELVO_TEST_DATA) + "/cameras", &error)) << error;
    auto list = devices();
    EXPECT_EQ(list.size(), 8u);
    std::vector<std::string> links;
    for (auto& d : list) links.push_back(link_of(*d));
    // The Raspberry Pi camera has no udev link, and the second Cam Link 4K lost its link to the
    // first: their node paths stand in, whatever numbers they got.
    EXPECT_EQ(std::count_if(links.begin(), links.end(), [](const std::string& l) { return l.rfind("/dev/video", 0) == 0; }),
              2);
}

// ---- streams --------------------------------------------------------------------------------

struct QuirkCase {
    const char* name;
    const char* quirks;
    bool only_first;  // every second frame is broken: only the first picture may come through
};

class QuirkyStream : public Replay, public ::testing::WithParamInterface<QuirkCase> {};

// A broken frame never reaches the reader: it gets only whole pictures, and the stream goes on.
TEST_P(QuirkyStream, ReaderGetsOnlyWholePictures) {
    const auto pictures = solid_pictures();
    ASSERT_EQ(pictures.size(), 2u);
    TempFile file(small_camera(GetParam().quirks));
    ASSERT_TRUE(install(file.path()));
    auto stream = open_small();
    ASSERT_TRUE(stream);
    const std::string quirks = GetParam().quirks;
    const bool zero_first = quirks.find("zero_first_frame") != std::string::npos;
    const bool padded = quirks.find("zero_padding") != std::string::npos;
    int seen[2] = {0, 0}, gaps = 0;
    for (int i = 0; i < 12; ++i) {
        ReadResult r = stream->read();
        ASSERT_EQ(r.hr, S_OK) << "read " << i;
        if (!r.has_sample) {
            ++gaps;  // a dropped frame
            continue;
        }
        if (zero_first && i == 0) {
            // The backend cannot tell; the decoder drops it later.
            EXPECT_GE(r.data.size(), size_t(64 * 48 * 2));  // the whole buffer
            EXPECT_TRUE(std::all_of(r.data.begin(), r.data.end(), [](uint8_t b) { return b == 0; }));
            continue;
        }
        std::vector<uint8_t> data = r.data;
        if (padded) {
            ASSERT_GT(data.size(), 100u);
            EXPECT_TRUE(std::all_of(data.end() - 100, data.end(), [](uint8_t b) { return b == 0; }));
            data.resize(data.size() - 100);
        }
        int which = data == pictures[0] ? 0 : data == pictures[1] ? 1 : -1;
        ASSERT_NE(which, -1) << "read " << i << " is no whole picture";
        ++seen[which];
    }
    EXPECT_GT(seen[0], 0);
    if (GetParam().only_first) {
        EXPECT_EQ(seen[1], 0);
        EXPECT_GT(gaps, 0);
    } else {
        EXPECT_GT(seen[1], 0);
        EXPECT_EQ(gaps, 0);
    }
    stream.reset();
}

INSTANTIATE_TEST_SUITE_P(Quirks, QuirkyStream,
                         ::testing::Values(QuirkCase{"Plain", "{}", false},
                                           QuirkCase{"ErrorFlagged", R"({"error_every": 2})", true},
                                           QuirkCase{"EmptyBuffers", R"({"empty_every": 2})", true},
                                           QuirkCase{"PaddedWithZeros", R"({"zero_padding": 100})", false},
                                           QuirkCase{"AllZeroFirstFrame", R"({"zero_first_frame": true})", false}),
                         [](const ::testing::TestParamInfo<QuirkCase>& info) { return info.param.name; });

TEST_F(Replay, UnpluggedDeviceFailsItsReadsVanishesAndComesBack) {
    TempFile file(small_camera(R"({"lost_after": 5, "lost_errno": "ENODEV", "replug_after_ms": 300})"));
    ASSERT_TRUE(install(file.path()));
    auto stream = open_small();
    ASSERT_TRUE(stream);
    int good = 0;
    ReadResult r;
    while ((r = stream->read()).hr == S_OK) ++good;
    EXPECT_EQ(good, 5);
    EXPECT_EQ(r.hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    EXPECT_EQ(stream->read().hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);  // for good
    EXPECT_TRUE(devices().empty()) << "an unplugged camera is not listed";
    stream.reset();
    device_.reset();

    usleep(400 * 1000);
    auto again = open_small();  // replugged: listed again, and it streams without losing itself again
    ASSERT_TRUE(again);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(again->read().hr, S_OK);
}

TEST_F(Replay, QueueErrorFailsTheStreamButTheDeviceReopens) {
    TempFile file(small_camera(R"({"lost_after": 2, "lost_errno": "EIO"})"));
    ASSERT_TRUE(install(file.path()));
    auto stream = open_small();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->read().hr, S_OK);
    EXPECT_EQ(stream->read().hr, S_OK);
    EXPECT_EQ(stream->read().hr, MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
    stream.reset();
    EXPECT_EQ(devices().size(), 1u);
    std::unique_ptr<CameraStream> reopened;
    ASSERT_EQ(device_->open_stream(RequestedFormat{MFVideoFormat_MJPG, 32, 24, 200, 1}, &reopened), S_OK);
    EXPECT_EQ(reopened->read().hr, S_OK);
}

TEST_F(Replay, ShutdownWakesAReadWaitingForTheNextFrame) {
    // One frame a second: the read waits inside the driver until shutdown wakes it.
    TempFile file(R"({"nodes": [{"path": "/dev/video0", "card": "Slow", "capabilities": "0x04200001",
        "formats": [{"fourcc": "YUYV", "sizes": ["6x2: 1/1"]}]}]})");
    ASSERT_TRUE(install(file.path()));
    auto list = devices();
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0]->activate(), S_OK);
    std::unique_ptr<CameraStream> stream;
    ASSERT_EQ(list[0]->open_stream(RequestedFormat{MFVideoFormat_YUY2, 6, 2, 1, 1}, &stream), S_OK);
    ReadResult first = stream->read();
    ASSERT_EQ(first.hr, S_OK);
    EXPECT_EQ(first.data.size(), 6u * 2 * 2);
    std::thread stopper([&] {
        usleep(100 * 1000);
        stream->shutdown();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(stream->read().hr, MF_E_SHUTDOWN);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    stopper.join();
}

}  // namespace

namespace {

// Generated pictures of every renderable format at sizes no SIMD width divides, and at 1x1.
TEST_F(Replay, GeneratedPicturesFillOddSizesExactly) {
    TempFile file(R"({"nodes": [{"path": "/dev/video0", "card": "Odd", "capabilities": "0x04200001",
        "formats": [{"fourcc": "YUYV", "stepwise": "2x1 - 640x480 step 2x1", "intervals": "1/200"},
                    {"fourcc": "NV12", "continuous": "1x1 - 640x480", "intervals": "1/200"},
                    {"fourcc": "YU12", "continuous": "1x1 - 640x480", "intervals": "1/200"},
                    {"fourcc": "BGR3", "continuous": "1x1 - 640x480", "intervals": "1/200"},
                    {"fourcc": "P010", "continuous": "1x1 - 640x480", "intervals": "1/200"},
                    {"fourcc": "MJPG", "continuous": "1x1 - 640x480", "intervals": "1/200"}]}]})");
    ASSERT_TRUE(install(file.path()));
    auto list = devices();
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(list[0]->activate(), S_OK);
    struct Case {
        GUID subtype;
        uint32_t width, height;
        size_t bytes;  // 0: compressed
    };
    const Case cases[] = {
        {MFVideoFormat_YUY2, 321, 241, 0},  // the driver answers 320 wide, which the backend refuses
        {MFVideoFormat_YUY2, 424, 240, 424 * 240 * 2},
        {MFVideoFormat_NV12, 321, 241, 321 * 241 + 2 * 161 * 121},
        {MFVideoFormat_I420, 321, 241, 321 * 241 + 2 * 161 * 121},
        {MFVideoFormat_I420, 1, 1, 3},
        {MFVideoFormat_RGB24, 321, 241, 321 * 241 * 3},
        {MFVideoFormat_P010, 321, 241, (321 * 241 + 2 * 161 * 121) * 2},
        {MFVideoFormat_MJPG, 321, 241, 0},
        {MFVideoFormat_MJPG, 1, 1, 0},
    };
    for (const Case& c : cases) {
        std::unique_ptr<CameraStream> stream;
        HRESULT hr = list[0]->open_stream(RequestedFormat{c.subtype, c.width, c.height, 200, 1}, &stream);
        if (c.subtype == MFVideoFormat_YUY2 && c.width % 2) {
            EXPECT_EQ(hr, MF_E_INVALIDMEDIATYPE);
            continue;
        }
        ASSERT_EQ(hr, S_OK) << c.width << "x" << c.height;
        for (int i = 0; i < 3; ++i) {
            ReadResult r = stream->read();
            ASSERT_EQ(r.hr, S_OK);
            ASSERT_TRUE(r.has_sample);
            if (c.bytes) {
                EXPECT_EQ(r.data.size(), c.bytes) << c.width << "x" << c.height;
            } else {
                ASSERT_GE(r.data.size(), 4u);
                EXPECT_EQ(r.data[0], 0xFF);
                EXPECT_EQ(r.data[r.data.size() - 1], 0xD9);
            }
        }
    }
}

}  // namespace
