// Pixel format mapping and the reduction of what a driver lists into native media types.
#include <algorithm>
#include <numeric>

#include "subtype_table.h"
#include "v4l2/v4l2_internal.h"

namespace mfcompat {
namespace v4l2 {
namespace {

// Bounds every driver listing, so that a driver that never ends a list cannot hang enumeration.
constexpr uint32_t kMaxListEntries = 256;

constexpr Size kCommonSizes[] = {{160, 120},  {176, 144},   {320, 240},   {352, 288},   {640, 360},
                                 {640, 480},  {800, 600},   {960, 540},   {1024, 768},  {1280, 720},
                                 {1280, 960}, {1600, 1200}, {1920, 1080}, {2560, 1440}, {3840, 2160}};
constexpr uint32_t kCommonRates[] = {120, 60, 50, 30, 25, 24, 20, 15, 10, 5, 1};
// The fastest rate listed; faster answers are a driver's nonsense, not a camera's.
constexpr uint32_t kMaxListedRate = 1000;

bool fits(uint32_t value, uint32_t min, uint32_t max, uint32_t step) {
    return value >= min && value <= max && (value - min) % step == 0;
}

bool rate_less(const Rate& a, const Rate& b) {
    return uint64_t(a.numerator) * b.denominator < uint64_t(b.numerator) * a.denominator;
}
bool rate_equal(const Rate& a, const Rate& b) {
    return uint64_t(a.numerator) * b.denominator == uint64_t(b.numerator) * a.denominator;
}

std::vector<Size> list_sizes(const V4l2Syscalls& sys, int fd, uint32_t pixel_format) {
    std::vector<Size> sizes;
    for (uint32_t i = 0; i < kMaxListEntries; ++i) {
        v4l2_frmsizeenum e{};
        e.index = i;
        e.pixel_format = pixel_format;
        if (xioctl(sys, fd, VIDIOC_ENUM_FRAMESIZES, &e) != 0) break;
        if (e.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
            // A range is the only entry of its list.
            if (i == 0) return reduce_size_range(e.stepwise);
            break;
        }
        Size s{e.discrete.width, e.discrete.height};
        if (s.width == 0 || s.height == 0) continue;
        bool seen = std::any_of(sizes.begin(), sizes.end(),
                                [&](const Size& o) { return o.width == s.width && o.height == s.height; });
        if (!seen) sizes.push_back(s);
    }
    return sizes;
}

std::vector<Rate> list_rates(const V4l2Syscalls& sys, int fd, uint32_t pixel_format, const Size& size) {
    std::vector<Rate> rates;
    for (uint32_t i = 0; i < kMaxListEntries; ++i) {
        v4l2_frmivalenum e{};
        e.index = i;
        e.pixel_format = pixel_format;
        e.width = size.width;
        e.height = size.height;
        if (xioctl(sys, fd, VIDIOC_ENUM_FRAMEINTERVALS, &e) != 0) break;
        if (e.type != V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (i == 0) return reduce_interval_range(e.stepwise);
            break;
        }
        Rate r;
        if (!rate_from_interval(e.discrete, &r)) continue;
        bool seen = std::any_of(rates.begin(), rates.end(), [&](const Rate& o) { return rate_equal(o, r); });
        if (!seen) rates.push_back(r);
    }
    return rates;
}

}  // namespace

GUID subtype_from_pixel_format(uint32_t pixel_format) {
    const SubtypeRow* row = find_v4l2_format(pixel_format);
    return row != nullptr ? row->subtype : MFCOMPAT_FOURCC_SUBTYPE(pixel_format);
}

uint32_t pixel_format_from_subtype(const GUID& subtype, const std::vector<uint32_t>& listed) {
    // Several pixel formats may share a subtype (MJPG and JPEG): take the first the device lists.
    for (uint32_t pf : listed) {
        if (subtype_from_pixel_format(pf) == subtype) return pf;
    }
    return 0;
}

std::vector<Size> reduce_size_range(const v4l2_frmsize_stepwise& r) {
    if (r.min_width == 0 || r.min_height == 0 || r.min_width > r.max_width || r.min_height > r.max_height) return {};
    uint32_t step_w = r.step_width ? r.step_width : 1;
    uint32_t step_h = r.step_height ? r.step_height : 1;
    std::vector<Size> sizes{{r.min_width, r.min_height}};
    for (const Size& s : kCommonSizes) {
        if (fits(s.width, r.min_width, r.max_width, step_w) && fits(s.height, r.min_height, r.max_height, step_h))
            sizes.push_back(s);
    }
    sizes.push_back({r.max_width, r.max_height});
    auto area_less = [](const Size& a, const Size& b) {
        uint64_t aa = uint64_t(a.width) * a.height, ba = uint64_t(b.width) * b.height;
        return aa != ba ? aa < ba : a.width < b.width;
    };
    std::sort(sizes.begin(), sizes.end(), area_less);
    sizes.erase(std::unique(sizes.begin(), sizes.end(),
                            [](const Size& a, const Size& b) { return a.width == b.width && a.height == b.height; }),
                sizes.end());
    return sizes;
}

bool rate_from_interval(const v4l2_fract& interval, Rate* rate) {
    if (interval.numerator == 0 || interval.denominator == 0) return false;
    uint32_t g = std::gcd(interval.numerator, interval.denominator);
    *rate = Rate{interval.denominator / g, interval.numerator / g};
    return true;
}

std::vector<Rate> reduce_interval_range(const v4l2_frmival_stepwise& r) {
    Rate fastest, slowest;
    if (!rate_from_interval(r.min, &fastest) || !rate_from_interval(r.max, &slowest)) return {};
    if (rate_less(fastest, slowest)) return {};
    std::vector<Rate> rates{fastest};
    for (uint32_t common : kCommonRates) {
        Rate c{common, 1};
        if (rate_less(c, fastest) && rate_less(slowest, c)) rates.push_back(c);
    }
    if (!rate_equal(slowest, fastest)) rates.push_back(slowest);
    return rates;
}

// The interval the node is set to, as a rate; false when the driver does not say.
static bool current_rate(const V4l2Syscalls& sys, int fd, Rate* rate) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return xioctl(sys, fd, VIDIOC_G_PARM, &parm) == 0 && rate_from_interval(parm.parm.capture.timeperframe, rate);
}

namespace {

// Rates a camera can really deliver. A driver that answers with an absurd interval (1/4294967295)
// would otherwise set a relay running at hundreds of pictures a second.
bool plausible_rate(const Rate& r) {
    return r.denominator != 0 && uint64_t(r.numerator) >= r.denominator &&
           uint64_t(r.numerator) <= uint64_t(kMaxListedRate) * r.denominator;
}

}  // namespace

void list_native_formats(const V4l2Syscalls& sys, int fd, std::vector<NativeFormat>* formats,
                         std::vector<uint32_t>* pixel_formats) {
    // Drivers with stepwise sizes often list no intervals (the Raspberry Pi camera's, for one); such
    // a size streams at the node's current rate, asked for once.
    bool asked_current = false, has_current = false;
    Rate current{};
    for (uint32_t i = 0; i < kMaxListEntries; ++i) {
        v4l2_fmtdesc desc{};
        desc.index = i;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(sys, fd, VIDIOC_ENUM_FMT, &desc) != 0) break;
        uint32_t pf = desc.pixelformat;
        if (std::find(pixel_formats->begin(), pixel_formats->end(), pf) != pixel_formats->end()) continue;
        pixel_formats->push_back(pf);

        NativeFormat base;
        base.has_subtype = true;
        base.subtype = subtype_from_pixel_format(pf);
        // Only what can be streamed is offered: a size (list_sizes drops zero sizes) and a
        // plausible rate. A format without either would show as 0x0 at 0 fps.
        std::vector<Size> sizes = list_sizes(sys, fd, pf);
        for (const Size& size : sizes) {
            NativeFormat sized = base;
            sized.has_frame_size = true;
            sized.width = size.width;
            sized.height = size.height;
            std::vector<Rate> rates = list_rates(sys, fd, pf, size);
            const bool listed_rates = !rates.empty();
            rates.erase(std::remove_if(rates.begin(), rates.end(), [](const Rate& r) { return !plausible_rate(r); }),
                        rates.end());
            if (rates.empty() && !listed_rates) {
                if (!asked_current) {
                    asked_current = true;
                    has_current = current_rate(sys, fd, &current) && plausible_rate(current);
                }
                if (has_current) rates.push_back(current);
            }
            for (const Rate& rate : rates) {
                NativeFormat full = sized;
                full.has_frame_rate = true;
                full.rate_numerator = rate.numerator;
                full.rate_denominator = rate.denominator;
                formats->push_back(full);
            }
        }
    }
}

}  // namespace v4l2
}  // namespace mfcompat
