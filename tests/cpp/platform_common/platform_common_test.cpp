// The owners of kernel handles and the V4L2 capability rule the platform libraries share.
#include "platform_owners.h"
#include "v4l2_capabilities.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using trelvo_platform::UniqueFd;
using trelvo_platform::UniqueMapping;

// Every release the owners make, in order; a handle listed in `refused` fails its release.
std::vector<long> released;
std::vector<long> refused;

int fake_close(int fd) {
    released.push_back(fd);
    for (long r : refused)
        if (r == fd) return errno = EIO, -1;
    return 0;
}

int fake_unmap(void* address, std::size_t) {
    const long handle = static_cast<long>(reinterpret_cast<std::uintptr_t>(address));
    released.push_back(handle);
    for (long r : refused)
        if (r == handle) return errno = EINVAL, -1;
    return 0;
}

void* address(long handle) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle)); }

class Owners : public ::testing::Test {
protected:
    void SetUp() override {
        released.clear();
        refused.clear();
    }
};

// Each step on descriptors 3 and 4, and what it releases: a hand-over closes only what the
// receiving owner held, and release gives the descriptor up unclosed.
TEST_F(Owners, DescriptorsAreHandedOverAndClosedOnce) {
    struct Case {
        const char* name;
        void (*steps)();
        std::vector<long> closed;
    };
    const Case cases[] = {
        {"release", [] { EXPECT_EQ(UniqueFd(3, fake_close).release(), 3); }, {}},
        {"reset to another", [] {
             UniqueFd fd(3, fake_close);
             fd.reset(4);
             EXPECT_EQ(fd.get(), 4);
         }, {3, 4}},
        {"reset to the same", [] { UniqueFd(3, fake_close).reset(3); }, {3}},
        {"move construction", [] {
             UniqueFd from(3, fake_close);
             UniqueFd to(std::move(from));
             EXPECT_FALSE(from.valid());
             EXPECT_EQ(to.get(), 3);
         }, {3}},
        {"move assignment", [] {
             UniqueFd from(3, fake_close);
             UniqueFd to(4, fake_close);
             to = std::move(from);
             EXPECT_EQ(released, std::vector<long>{4});
             EXPECT_EQ(to.get(), 3);
         }, {4, 3}},
        {"self assignment", [] {
             UniqueFd fd(3, fake_close);
             UniqueFd& same = fd;
             fd = std::move(same);
             EXPECT_EQ(fd.get(), 3);
         }, {3}},
        {"mapping release", [] { EXPECT_EQ(UniqueMapping(address(3), 8, fake_unmap).release(), address(3)); }, {}},
        {"mapping reset", [] {
             UniqueMapping map(address(3), 8, fake_unmap);
             map.reset(address(4), 16);
             EXPECT_EQ(map.size(), 16u);
         }, {3, 4}},
        {"mapping move assignment", [] {
             UniqueMapping from(address(3), 8, fake_unmap);
             UniqueMapping to(address(4), 8, fake_unmap);
             to = std::move(from);
             EXPECT_FALSE(from);
         }, {4, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        released.clear();
        c.steps();
        EXPECT_EQ(released, c.closed);
    }
}

// A release that fails is told once per cause, and the handle counts as released.
TEST_F(Owners, FailedReleaseIsLoggedOnce) {
    ::unsetenv("TRELVO_PLATFORM_LOG");
    refused = {3, 5};
    struct Case {
        const char* name;
        void (*release)(long handle);
        const char* expected;  // empty: nothing more on stderr
    };
    const Case cases[] = {
        {"close", [](long h) { UniqueFd(static_cast<int>(h), fake_close); },
         "trelvo: closing a device or channel descriptor failed; it is released all the same: "},
        {"close again", [](long h) { UniqueFd(static_cast<int>(h), fake_close).reset(); }, ""},
        {"unmap", [](long h) { UniqueMapping(address(h), 8, fake_unmap); },
         "trelvo: unmapping a device buffer or channel failed; it is released all the same: "},
    };
    long handle = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::testing::internal::CaptureStderr();
        c.release(handle);
        const std::string err = ::testing::internal::GetCapturedStderr();
        if (*c.expected)
            EXPECT_EQ(err.rfind(c.expected, 0), 0u) << err;
        else
            EXPECT_EQ(err, "");
        handle = handle == 3 ? 5 : 3;
    }
}

v4l2_capability capability(const char* driver, uint32_t capabilities, uint32_t device_caps) {
    v4l2_capability cap{};
    std::strncpy(reinterpret_cast<char*>(cap.driver), driver, sizeof cap.driver);
    cap.capabilities = capabilities;
    cap.device_caps = device_caps;
    return cap;
}

TEST(Capabilities, CameraIsAStreamingCaptureNodeOfARealDriver) {
    constexpr uint32_t kCamera = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    struct Case {
        const char* name;
        v4l2_capability cap;
        bool camera;
        bool loopback;
    };
    const Case cases[] = {
        {"node caps", capability("uvcvideo", V4L2_CAP_DEVICE_CAPS | kCamera | V4L2_CAP_META_CAPTURE, kCamera), true,
         false},
        // The metadata node of a UVC camera: the device can capture, this node cannot.
        {"metadata node", capability("uvcvideo", V4L2_CAP_DEVICE_CAPS | kCamera | V4L2_CAP_META_CAPTURE,
                                     V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING), false, false},
        {"older driver", capability("bttv", kCamera, 0), true, false},
        {"no streaming", capability("qcam", V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE, 0), false, false},
        {"loopback being written", capability("v4l2 loopback", V4L2_CAP_DEVICE_CAPS | kCamera, kCamera), false, true},
        {"longer driver name", capability("v4l2 loopbacks", kCamera, 0), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(trelvo_platform::is_camera(c.cap), c.camera);
        EXPECT_EQ(trelvo_platform::is_loopback(c.cap), c.loopback);
    }
}

}  // namespace
