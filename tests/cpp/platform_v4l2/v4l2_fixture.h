// A fake machine with a UVC-like camera and its companions, installed for each test, with leak checks.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "camera_device.h"
#include "fake_v4l2.h"

namespace fakev4l2 {

constexpr const char* kUvc = "/dev/video0";
constexpr const char* kUvcMeta = "/dev/video1";
constexpr const char* kStepwise = "/dev/video2";
constexpr const char* kOthers = "/dev/video10";
constexpr const char* kUvcLink = "/dev/v4l/by-id/usb-046d_HD_Pro_Webcam_C920-video-index0";
constexpr const char* kStepwiseLink = "/dev/v4l/by-path/platform-fe801000.csi-video-index0";

inline Format discrete(uint32_t pf, std::vector<v4l2_frmsize_discrete> sizes, std::vector<v4l2_fract> intervals) {
    Format f;
    f.pixel_format = pf;
    f.sizes = std::move(sizes);
    f.intervals = std::move(intervals);
    return f;
}

inline Node uvc_camera() {
    Node n;
    n.path = kUvc;
    n.card = "HD Pro Webcam C920";
    // The whole device also has metadata capture; the node's own caps are what count.
    n.capabilities = kCaptureCaps | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
    n.device_caps = kCaptureCaps;
    n.formats = {discrete(V4L2_PIX_FMT_MJPEG, {{1280, 720}, {640, 480}}, {{1, 30}, {1, 15}}),
                 discrete(V4L2_PIX_FMT_YUYV, {{640, 480}}, {{1, 30}})};
    return n;
}

inline void build_machine(FakeV4l2& fake) {
    fake.add_node(uvc_camera());

    Node meta;
    meta.path = kUvcMeta;
    meta.card = "HD Pro Webcam C920";
    meta.capabilities = kCaptureCaps | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
    meta.device_caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    fake.add_node(meta);

    Node stepwise;
    stepwise.path = kStepwise;
    stepwise.card = "Stepwise Sensor";
    stepwise.capabilities = kCaptureCaps;  // an old driver without per-node caps
    Format nv12;
    nv12.pixel_format = V4L2_PIX_FMT_NV12;
    nv12.has_size_range = true;
    nv12.size_range = {160, 1920, 16, 120, 1080, 8};
    nv12.has_interval_range = true;
    nv12.interval_range = {{1, 30}, {1, 5}, {1, 1}};
    stepwise.formats = {nv12};
    fake.add_node(stepwise);

    Node others;
    others.path = kOthers;
    others.card = "Caméra ☃";
    others.capabilities = kCaptureCaps;
    const std::vector<v4l2_frmsize_discrete> vga = {{640, 480}};
    others.formats = {discrete(V4L2_PIX_FMT_YUV420, vga, {{1, 30}}), discrete(V4L2_PIX_FMT_BGR24, vga, {{1, 30}}),
                      discrete(V4L2_PIX_FMT_P010, vga, {{1, 30}}), discrete(V4L2_PIX_FMT_JPEG, vga, {{1, 30}}),
                      discrete(V4L2_PIX_FMT_GREY, vga, {{1001, 30000}})};
    fake.add_node(others);

    fake.add_link(kUvcLink, kUvc);
    fake.add_link("/dev/v4l/by-id/usb-046d_HD_Pro_Webcam_C920-video-index1", kUvcMeta);
    fake.add_link("/dev/v4l/by-path/pci-0000:00:14.0-usb-0:2:1.0-video-index0", kUvc);
    fake.add_link(kStepwiseLink, kStepwise);
}

class V4l2Test : public ::testing::Test {
protected:
    void SetUp() override {
        build_machine(fake_);
        fake_.install();
    }
    void TearDown() override {
        // Every test drops its devices and streams before this runs.
        EXPECT_EQ(fake_.open_descriptors(), 0) << "file descriptors leaked";
        EXPECT_EQ(fake_.opens(), fake_.closes());
        EXPECT_EQ(fake_.live_mappings(), 0) << "mappings leaked";
        EXPECT_EQ(fake_.bad_calls(), 0) << "calls on handles the driver never gave out";
        fake_.uninstall();
    }

    // The enumerated device with this symbolic link.
    static std::shared_ptr<mfcompat::CameraDevice> device(const std::string& link) {
        for (auto& d : mfcompat::v4l2_enumerate_devices()) {
            std::u16string l;
            if (d->symbolic_link(&l) && l == std::u16string(link.begin(), link.end())) return d;
        }
        return nullptr;
    }

    FakeV4l2 fake_;
};

// A read on its own thread, so that a read that never returns fails the test instead of hanging it.
class BackgroundRead {
public:
    BackgroundRead(mfcompat::CameraStream* stream, FakeV4l2* fake) : fake_(fake) {
        future_ = promise_.get_future().share();
        thread_ = std::thread([this, stream] { promise_.set_value(stream->read()); });
    }
    ~BackgroundRead() {
        if (!done(std::chrono::milliseconds(0))) {
            fake_->unplug_all();  // last resort: a lost device must end any read
            if (!done(std::chrono::seconds(5))) {
                std::fprintf(stderr, "a read never returned\n");
                std::abort();  // fail the run instead of hanging it
            }
        }
        thread_.join();
    }
    bool done(std::chrono::milliseconds within) {
        return future_.wait_for(within) == std::future_status::ready;
    }
    mfcompat::ReadResult result() { return future_.get(); }

private:
    FakeV4l2* fake_;
    std::promise<mfcompat::ReadResult> promise_;
    std::shared_future<mfcompat::ReadResult> future_;
    std::thread thread_;
};

}  // namespace fakev4l2
