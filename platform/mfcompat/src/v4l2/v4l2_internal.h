// Pieces shared by the V4L2 enumeration, device and stream code.
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "camera_device.h"
#include "platform_log.h"
#include "platform_owners.h"
#include "platform_syscalls.h"
#include "v4l2/v4l2_syscalls.h"

// Older kernel headers predate this format.
#ifndef V4L2_PIX_FMT_P010
#define V4L2_PIX_FMT_P010 v4l2_fourcc('P', '0', '1', '0')
#endif

namespace mfcompat {
namespace v4l2 {

using trelvo_platform::UniqueFd;
using trelvo_platform::UniqueMapping;

// A descriptor of the table's open, closed through the same table.
inline UniqueFd open_fd(const V4l2Syscalls& sys, const char* path, int flags) {
    return UniqueFd(sys.open(path, flags), sys.close);
}

// One stderr line per cause; see platform_log.h.
inline void log_once(const std::string& message, int err = 0) { trelvo_platform::log_once("mfcompat", message, err); }

// A node that does not open says so, once per node and errno. One that is gone is not news: the
// capture layer reports the lost camera itself.
inline void log_open_failure(const std::string& node, int err) {
    if (err != ENOENT && err != ENODEV) log_once("cannot open V4L2 device " + node, err);
}

// ioctl, repeated when a signal interrupts it. Returns 0 or -errno.
inline int xioctl(const V4l2Syscalls& sys, int fd, unsigned long request, void* arg) {
    return trelvo_platform::ioctl_retry(sys.ioctl, fd, request, arg);
}

// errno of a failed open or setup call → the HRESULT Media Foundation would give.
HRESULT hresult_from_errno(int err, HRESULT fallback);

bool is_device_lost_errno(int err);

// Pixel formats and subtypes.
GUID subtype_from_pixel_format(uint32_t pixel_format);
// 0 when the subtype has no pixel format among those the device lists.
uint32_t pixel_format_from_subtype(const GUID& subtype, const std::vector<uint32_t>& listed);

std::u16string utf8_to_utf16(const char* text, size_t length);

struct Size {
    uint32_t width;
    uint32_t height;
};
struct Rate {
    uint32_t numerator;
    uint32_t denominator;
};

// A stepwise or continuous range of frame sizes reduced to its minimum, maximum and the common
// sizes that fit the steps. Empty when the range is malformed.
std::vector<Size> reduce_size_range(const v4l2_frmsize_stepwise& range);
// A range of frame intervals reduced to its end rates and the common rates in between, fastest first.
std::vector<Rate> reduce_interval_range(const v4l2_frmival_stepwise& range);
// An interval as a reduced rate; false when it has a zero term.
bool rate_from_interval(const v4l2_fract& interval, Rate* rate);

// Every native media type of an open capture node, and the pixel formats it lists.
void list_native_formats(const V4l2Syscalls& sys, int fd, std::vector<NativeFormat>* formats,
                         std::vector<uint32_t>* pixel_formats);

// The streaming state of one opened format. Shared between the stream object the reader holds and
// the device, so that a shutdown of the media source also stops its streams.
class StreamCore {
public:
    // Opens the node, sets the format and starts streaming; on failure *core is left empty.
    static HRESULT open(const V4l2Syscalls& sys, const std::string& node, uint32_t pixel_format,
                        const RequestedFormat& format, std::shared_ptr<StreamCore>* core);
    ~StreamCore();

    ReadResult read();
    void flush();
    void shutdown();

private:
    StreamCore(const V4l2Syscalls& sys, std::string node) : sys_(sys), node_(std::move(node)) {}
    // A request on the device: 0 or -errno. A failure is logged once per cause, naming the node
    // and the request, unless the device is gone.
    int request(unsigned long request, const char* name, void* arg);
    void log_failure(const char* call, int err) const;
    void wake();
    void drain_eventfd();
    void drop_ready_buffers();
    void release_locked();
    HRESULT fail_locked(HRESULT hr);

    const V4l2Syscalls sys_;  // a copy: a table swapped later never sees this stream's handles
    const std::string node_;
    UniqueFd device_;
    UniqueFd wake_;  // eventfd; lives until destruction so that flush/shutdown can always signal it
    std::vector<UniqueMapping> buffers_;
    // Frames handed out in samples come back here: one allocation per buffer size, not per frame.
    std::shared_ptr<FramePool> frames_ = std::make_shared<FramePool>();
    std::atomic<bool> shutdown_requested_{false};
    std::atomic<bool> flush_requested_{false};

    std::mutex io_mutex_;  // held by the reader for a whole read, and by shutdown while it releases
    bool streaming_ = false;
    bool released_ = false;
    HRESULT failure_ = S_OK;
};

}  // namespace v4l2
}  // namespace mfcompat
