// Enumeration of V4L2 nodes: which nodes become devices, their names, links and native types.
#include <algorithm>
#include <set>
#include <tuple>

#include "v4l2_fixture.h"

namespace fakev4l2 {
namespace {

using mfcompat::NativeFormat;

std::string narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

struct Type {
    GUID subtype;
    uint32_t width, height, rate_num, rate_den;
    bool operator==(const Type& o) const {
        return subtype == o.subtype && width == o.width && height == o.height && rate_num == o.rate_num &&
               rate_den == o.rate_den;
    }
};
void PrintTo(const Type& t, std::ostream* os) {
    *os << std::hex << t.subtype.Data1 << std::dec << " " << t.width << "x" << t.height << "@" << t.rate_num << "/"
        << t.rate_den;
}

std::vector<Type> full_types(const std::vector<NativeFormat>& formats) {
    std::vector<Type> out;
    for (const NativeFormat& f : formats) {
        EXPECT_TRUE(f.has_subtype && f.has_frame_size && f.has_frame_rate);
        out.push_back({f.subtype, f.width, f.height, f.rate_numerator, f.rate_denominator});
    }
    return out;
}

using V4l2Enumeration = V4l2Test;

TEST_F(V4l2Enumeration, CaptureNodesInNumericOrderWithNamesAndStableLinks) {
    auto devices = mfcompat::v4l2_enumerate_devices();
    // video1 is the metadata node of the same camera; video10 sorts after video2.
    ASSERT_EQ(devices.size(), 3u);
    std::vector<std::string> links, names;
    for (auto& d : devices) {
        std::u16string link, name;
        ASSERT_TRUE(d->symbolic_link(&link));
        ASSERT_TRUE(d->friendly_name(&name));
        links.push_back(narrow(link));
        names.push_back(narrow(name));
    }
    // by-id is preferred over by-path; without either the node path stands.
    EXPECT_EQ(links, (std::vector<std::string>{kUvcLink, kStepwiseLink, kOthers}));
    EXPECT_EQ(names[0], "HD Pro Webcam C920");
    EXPECT_EQ(names[1], "Stepwise Sensor");
    std::u16string name;
    devices[2]->friendly_name(&name);
    EXPECT_EQ(name, u"Caméra ☃");  // the UTF-8 card name as UTF-16
    // Enumeration holds nothing open.
    EXPECT_EQ(fake_.open_descriptors(), 0);
    EXPECT_GE(fake_.opens(), 4);
}

TEST_F(V4l2Enumeration, NodeThatIsNoStreamingCaptureDeviceIsSkipped) {
    Node output;
    output.path = "/dev/video3";
    output.card = "Loopback output";
    output.capabilities = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING;
    fake_.add_node(output);
    Node read_only;
    read_only.path = "/dev/video4";
    read_only.card = "Read-only capture";
    read_only.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
    fake_.add_node(read_only);
    Node multiplanar;
    multiplanar.path = "/dev/video5";
    multiplanar.card = "Multiplanar";
    multiplanar.capabilities = V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING;
    fake_.add_node(multiplanar);
    Node locked = uvc_camera();
    locked.path = "/dev/video6";
    locked.open_errno = EACCES;
    fake_.add_node(locked);
    // v4l2loopback devices are virtual cameras: while a program writes (exclusive_caps=1) and with
    // both capabilities (exclusive_caps=0), with the formats of what is written.
    constexpr uint32_t kLoopbackCaps = V4L2_CAP_STREAMING | V4L2_CAP_READWRITE | V4L2_CAP_EXT_PIX_FORMAT;
    const uint32_t loopback_caps[] = {kLoopbackCaps | V4L2_CAP_VIDEO_CAPTURE,
                                      kLoopbackCaps | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_OUTPUT};
    for (uint32_t caps : loopback_caps) {
        Node loopback = uvc_camera();
        loopback.path = "/dev/video" + std::to_string(7 + (caps & V4L2_CAP_VIDEO_OUTPUT ? 1 : 0));
        loopback.driver = "v4l2 loopback";
        loopback.card = "trelvo";
        loopback.capabilities = caps | V4L2_CAP_DEVICE_CAPS;
        loopback.device_caps = caps;
        fake_.add_node(loopback);
    }

    std::vector<std::string> links;
    for (auto& d : mfcompat::v4l2_enumerate_devices()) {
        std::u16string link;
        d->symbolic_link(&link);
        links.push_back(narrow(link));
    }
    EXPECT_EQ(links, (std::vector<std::string>{kUvcLink, kStepwiseLink, kOthers}));
}

TEST_F(V4l2Enumeration, NoVideoNodesGivesNoDevices) {
    fake_.unplug_all();
    EXPECT_TRUE(mfcompat::v4l2_enumerate_devices().empty());
}

TEST_F(V4l2Enumeration, UvcCameraListsEveryFormatSizeAndRate) {
    auto uvc = device(kUvcLink);
    ASSERT_TRUE(uvc);
    std::vector<Type> expected = {
        {MFVideoFormat_MJPG, 1280, 720, 30, 1}, {MFVideoFormat_MJPG, 1280, 720, 15, 1},
        {MFVideoFormat_MJPG, 640, 480, 30, 1},  {MFVideoFormat_MJPG, 640, 480, 15, 1},
        {MFVideoFormat_YUY2, 640, 480, 30, 1},
    };
    EXPECT_EQ(full_types(uvc->native_formats()), expected);
}

TEST_F(V4l2Enumeration, PixelFormatsMapToTheirSubtypes) {
    auto others = device(kOthers);
    ASSERT_TRUE(others);
    auto types = full_types(others->native_formats());
    std::vector<GUID> subtypes;
    for (const Type& t : types) subtypes.push_back(t.subtype);
    const GUID grey = MFCOMPAT_FOURCC_SUBTYPE(V4L2_PIX_FMT_GREY);
    EXPECT_EQ(subtypes, (std::vector<GUID>{MFVideoFormat_I420, MFVideoFormat_RGB24, MFVideoFormat_P010,
                                           MFVideoFormat_MJPG, grey}));
    // A fractional interval gives the exact rate: 1001/30000 s is 30000/1001 frames per second.
    EXPECT_EQ(types.back().rate_num, 30000u);
    EXPECT_EQ(types.back().rate_den, 1001u);

    auto stepwise = device(kStepwiseLink);
    ASSERT_TRUE(stepwise);
    ASSERT_FALSE(stepwise->native_formats().empty());
    EXPECT_EQ(stepwise->native_formats()[0].subtype, MFVideoFormat_NV12);
}

TEST_F(V4l2Enumeration, StepwiseSizesAndIntervalsAreReducedToSensibleLists) {
    auto stepwise = device(kStepwiseLink);
    ASSERT_TRUE(stepwise);
    const auto range = fake_.node(kStepwise).formats[0].size_range;
    std::set<std::pair<uint32_t, uint32_t>> sizes;
    std::set<std::pair<uint32_t, uint32_t>> rates;
    for (const Type& t : full_types(stepwise->native_formats())) {
        sizes.insert({t.width, t.height});
        rates.insert({t.rate_num, t.rate_den});
        // Every listed size is one the driver can deliver.
        EXPECT_GE(t.width, range.min_width);
        EXPECT_LE(t.width, range.max_width);
        EXPECT_EQ((t.width - range.min_width) % range.step_width, 0u) << t.width;
        EXPECT_GE(t.height, range.min_height);
        EXPECT_LE(t.height, range.max_height);
        EXPECT_EQ((t.height - range.min_height) % range.step_height, 0u) << t.height;
    }
    EXPECT_TRUE(sizes.count({range.min_width, range.min_height}));
    EXPECT_TRUE(sizes.count({range.max_width, range.max_height}));
    EXPECT_TRUE(sizes.count({640, 480}));
    EXPECT_TRUE(sizes.count({1280, 720}));
    EXPECT_FALSE(sizes.count({960, 540})) << "540 is off the 8-line step from 120";
    EXPECT_LE(sizes.size(), 16u);
    // Interval range 1/30..1/5 s: the end rates and common rates between them, nothing outside.
    EXPECT_TRUE(rates.count({30, 1}));
    EXPECT_TRUE(rates.count({15, 1}));
    EXPECT_TRUE(rates.count({5, 1}));
    for (const auto& r : rates) {
        EXPECT_LE(r.first, 30u * r.second);
        EXPECT_GE(r.first, 5u * r.second);
    }
    EXPECT_LE(rates.size(), 10u);
    // Each size carries the same rates: types = sizes × rates, no duplicates.
    EXPECT_EQ(stepwise->native_formats().size(), sizes.size() * rates.size());
}

TEST_F(V4l2Enumeration, OddDriverAnswersAreSkippedOrBounded) {
    Node odd;
    odd.path = "/dev/video7";
    odd.card = std::string(32, 'A');  // fills the field without a terminator
    odd.capabilities = kCaptureCaps;
    odd.formats = {
        discrete(V4L2_PIX_FMT_MJPEG, {{0, 0}, {320, 240}, {320, 240}}, {{0, 30}, {1, 0}, {1, 30}, {2, 60}}),
        discrete(V4L2_PIX_FMT_YUYV, {}, {}),  // no sizes listed
    };
    Format no_rates = discrete(V4L2_PIX_FMT_NV12, {{640, 480}}, {});
    Format bad_range;
    bad_range.pixel_format = V4L2_PIX_FMT_YUV420;
    bad_range.has_size_range = true;
    bad_range.size_range = {640, 320, 0, 480, 240, 0};  // min above max
    Format backwards_rates = discrete(V4L2_PIX_FMT_BGR24, {{640, 480}}, {});
    backwards_rates.has_interval_range = true;
    backwards_rates.interval_range = {{1, 5}, {1, 30}, {1, 1}};  // min interval above max
    odd.formats.push_back(no_rates);
    odd.formats.push_back(bad_range);
    odd.formats.push_back(backwards_rates);
    fake_.add_node(odd);
    Node endless = uvc_camera();
    endless.path = "/dev/video8";
    endless.card = "\xff\xfe bad \xc3";  // not UTF-8
    endless.endless_format_list = true;
    fake_.add_node(endless);

    auto devices = mfcompat::v4l2_enumerate_devices();
    ASSERT_EQ(devices.size(), 5u);
    auto& o = devices[2];
    std::u16string name;
    o->friendly_name(&name);
    EXPECT_EQ(name, std::u16string(32, u'A'));
    // The zero size and zero intervals are dropped, the repeated size and rate listed once; a
    // format without sizes is not offered; sizes without rates stream at the node's current rate.
    std::vector<Type> expected = {
        {MFVideoFormat_MJPG, 320, 240, 30, 1},
        {MFVideoFormat_NV12, 640, 480, 30, 1},
        {MFVideoFormat_RGB24, 640, 480, 30, 1},
    };
    EXPECT_EQ(full_types(o->native_formats()), expected);
    // Without even a current rate, those sizes are not offered.
    fake_.node("/dev/video7").fail_request = VIDIOC_G_PARM;
    fake_.node("/dev/video7").fail_request_errno = ENOTTY;
    expected.resize(1);
    EXPECT_EQ(full_types(mfcompat::v4l2_enumerate_devices()[2]->native_formats()), expected);

    // A list that never ends is cut off (its formats list no sizes, so none is offered); the
    // device is still listed.
    auto& e = devices[3];
    EXPECT_LE(e->native_formats().size(), 1024u);
    e->friendly_name(&name);
    EXPECT_EQ(name, u"\uFFFD\uFFFD bad \uFFFD");
}

// Only sizes and rates a camera can stream are offered: a degenerate entry would start a relay
// at 0x0, or at billions of pictures a second.
TEST_F(V4l2Enumeration, DegenerateSizesAndRatesAreNotListed) {
    Node odd;
    odd.path = "/dev/video7";
    odd.card = "Odd";
    odd.capabilities = kCaptureCaps;
    Format absurd_range = discrete(V4L2_PIX_FMT_BGR24, {{64, 48}}, {});
    absurd_range.has_interval_range = true;
    absurd_range.interval_range = {{1, 4294967295u}, {2, 1}, {1, 1}};
    odd.formats = {
        discrete(V4L2_PIX_FMT_MJPEG, {{0, 0}, {0, 480}, {640, 0}}, {{1, 30}}),  // every size empty
        discrete(V4L2_PIX_FMT_YUYV, {{640, 480}}, {{1, 4294967295u}, {1, 1001}}),  // only too fast
        discrete(V4L2_PIX_FMT_NV12, {{320, 240}}, {{1, 4294967295u}, {2, 1}, {1, 1000}, {1, 30}, {1, 1}}),
        absurd_range,
    };
    fake_.add_node(odd);
    auto devices = mfcompat::v4l2_enumerate_devices();
    ASSERT_EQ(devices.size(), 4u);
    std::vector<Type> expected = {
        {MFVideoFormat_NV12, 320, 240, 1000, 1}, {MFVideoFormat_NV12, 320, 240, 30, 1},
        {MFVideoFormat_NV12, 320, 240, 1, 1},
    };
    // The range's own ends, 4294967295 and 0.5 fps, are not offered; the common rates within are.
    for (uint32_t rate : {120u, 60u, 50u, 30u, 25u, 24u, 20u, 15u, 10u, 5u, 1u}) {
        expected.push_back({MFVideoFormat_RGB24, 64, 48, rate, 1});
    }
    EXPECT_EQ(full_types(devices[2]->native_formats()), expected);
}

}  // namespace
}  // namespace fakev4l2
