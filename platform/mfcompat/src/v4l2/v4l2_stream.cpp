// Streaming one format through mmap buffers, with a read that flush/shutdown can interrupt.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

#include "platform_clock.h"
#include "v4l2/v4l2_internal.h"

namespace mfcompat {
namespace v4l2 {
namespace {

constexpr uint32_t kBufferCount = 4;
// More buffers than any sane driver hands out for a request of four.
constexpr uint32_t kMaxBufferCount = 32;

HRESULT setup_failure(int err) { return hresult_from_errno(err, MF_E_HW_MFT_FAILED_START_STREAMING); }

v4l2_buffer capture_buffer(uint32_t index = 0) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = index;
    return buf;
}

}  // namespace

int StreamCore::request(unsigned long request, const char* name, void* arg) {
    const int err = xioctl(sys_, device_.get(), request, arg);
    log_failure(name, -err);
    return err;
}

void StreamCore::log_failure(const char* call, int err) const {
    // A camera that is gone is not news: the capture layer reports the lost camera itself.
    if (err != 0 && err != ENODEV) log_once("V4L2 device " + node_ + ": " + call + " failed", err);
}

HRESULT StreamCore::open(const V4l2Syscalls& sys, const std::string& node, uint32_t pixel_format,
                         const RequestedFormat& format, std::shared_ptr<StreamCore>* out) {
    out->reset();
    if (pixel_format == 0 || format.width == 0 || format.height == 0) return MF_E_INVALIDMEDIATYPE;

    std::shared_ptr<StreamCore> core(new StreamCore(sys, node));
    core->device_ = open_fd(sys, node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (!core->device_.valid()) {
        const int err = errno;
        log_open_failure(node, err);
        return hresult_from_errno(err, E_FAIL);
    }
    const int fd = core->device_.get();

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix.width = format.width;
    fmt.fmt.pix.height = format.height;
    fmt.fmt.pix.pixelformat = pixel_format;
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (int err = core->request(VIDIOC_S_FMT, "VIDIOC_S_FMT", &fmt)) {
        return err == -EINVAL ? MF_E_INVALIDMEDIATYPE : setup_failure(-err);
    }
    // Drivers adjust what they cannot do; the reader must deliver exactly the requested type.
    if (fmt.fmt.pix.width != format.width || fmt.fmt.pix.height != format.height ||
        fmt.fmt.pix.pixelformat != pixel_format) {
        return MF_E_INVALIDMEDIATYPE;
    }

    if (format.rate_numerator != 0 && format.rate_denominator != 0) {
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(sys, fd, VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
            parm.parm.capture.timeperframe.numerator = format.rate_denominator;
            parm.parm.capture.timeperframe.denominator = format.rate_numerator;
            // The rate is a wish: a driver that keeps its own still delivers the format, so its
            // refusal is no failure and is not logged.
            (void)xioctl(sys, fd, VIDIOC_S_PARM, &parm);
        }
    }

    v4l2_requestbuffers req{};
    req.count = kBufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (int err = core->request(VIDIOC_REQBUFS, "VIDIOC_REQBUFS", &req)) return setup_failure(-err);
    if (req.count == 0 || req.count > kMaxBufferCount) return MF_E_HW_MFT_FAILED_START_STREAMING;

    core->buffers_.reserve(req.count);
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf = capture_buffer(i);
        if (int err = core->request(VIDIOC_QUERYBUF, "VIDIOC_QUERYBUF", &buf)) return setup_failure(-err);
        if (buf.length == 0) return MF_E_HW_MFT_FAILED_START_STREAMING;
        void* addr = sys.mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(buf.m.offset));
        if (addr == MAP_FAILED) {
            const int err = errno;
            core->log_failure("mmap", err);
            return setup_failure(err);
        }
        core->buffers_.emplace_back(addr, buf.length, sys.munmap);
    }
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf = capture_buffer(i);
        if (int err = core->request(VIDIOC_QBUF, "VIDIOC_QBUF", &buf)) return setup_failure(-err);
    }

    core->wake_ = UniqueFd(sys.eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), sys.close);
    if (!core->wake_.valid()) return hresult_from_errno(errno, E_FAIL);

    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (int err = core->request(VIDIOC_STREAMON, "VIDIOC_STREAMON", &type)) return setup_failure(-err);
    core->streaming_ = true;
    *out = std::move(core);
    return S_OK;
}

StreamCore::~StreamCore() { shutdown(); }

void StreamCore::wake() {
    if (!wake_.valid()) return;  // a stream that failed to open
    uint64_t one = 1;
    // The counter only saturates after 2^64-2 unread wakes; a failed write cannot lose a wake that matters.
    (void)sys_.write(wake_.get(), &one, sizeof one);
}

void StreamCore::drain_eventfd() {
    uint64_t value = 0;
    (void)sys_.read(wake_.get(), &value, sizeof value);
}

void StreamCore::flush() {
    flush_requested_.store(true);
    wake();
}

void StreamCore::shutdown() {
    shutdown_requested_.store(true);
    wake();
    // Wait for a running read to leave before the buffers and the node go away under it.
    std::lock_guard<std::mutex> lock(io_mutex_);
    release_locked();
}

void StreamCore::release_locked() {
    if (released_) return;
    released_ = true;
    if (streaming_ && device_.valid()) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        (void)request(VIDIOC_STREAMOFF, "VIDIOC_STREAMOFF", &type);  // a vanished device is stopped anyway
    }
    streaming_ = false;
    buffers_.clear();
    device_.reset();
}

HRESULT StreamCore::fail_locked(HRESULT hr) {
    failure_ = hr;
    return hr;
}

void StreamCore::drop_ready_buffers() {
    // A flush discards the frames captured before it.
    for (size_t n = 0; n < buffers_.size(); ++n) {
        v4l2_buffer buf = capture_buffer();
        // EAGAIN: none was ready.
        if (xioctl(sys_, device_.get(), VIDIOC_DQBUF, &buf) != 0) return;
        if (buf.index >= buffers_.size()) {
            fail_locked(E_UNEXPECTED);
            return;
        }
        if (int err = request(VIDIOC_QBUF, "VIDIOC_QBUF", &buf)) {
            if (is_device_lost_errno(-err)) fail_locked(MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
            return;
        }
    }
}

ReadResult StreamCore::read() {
    ReadResult result;
    std::lock_guard<std::mutex> lock(io_mutex_);
    if (shutdown_requested_.load() || released_) {
        result.hr = MF_E_SHUTDOWN;
        return result;
    }
    if (FAILED(failure_)) {
        result.hr = failure_;
        return result;
    }
    const int fd = device_.get();
    // A camera without signal (a capture card with nothing plugged in) never fills a buffer.
    const auto deadline = std::chrono::steady_clock::now() + real_duration(kReadTimeoutMs);
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        int n = sys_.poll(fds, 2, int(std::clamp<int64_t>(left.count(), 0, INT32_MAX)));
        if (n == 0) {
            result.hr = MFCOMPAT_E_TIMEOUT;
            return result;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            result.hr = fail_locked(MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
            return result;
        }
        if (fds[1].revents & POLLIN) {
            drain_eventfd();
            if (shutdown_requested_.load()) {
                result.hr = MF_E_SHUTDOWN;
                return result;
            }
            if (flush_requested_.exchange(false)) {
                drop_ready_buffers();
                result.hr = FAILED(failure_) ? failure_ : S_OK;
                return result;
            }
            // A wake whose request an earlier read already handled.
            continue;
        }
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            result.hr = fail_locked(MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
            return result;
        }
        if (!(fds[0].revents & POLLIN)) continue;

        v4l2_buffer buf = capture_buffer();
        if (int err = xioctl(sys_, fd, VIDIOC_DQBUF, &buf)) {
            if (err == -EAGAIN) continue;
            log_failure("VIDIOC_DQBUF", -err);
            result.hr = fail_locked(MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
            return result;
        }
        if (buf.index >= buffers_.size()) {
            // The buffer cannot be given back, so the stream cannot go on.
            result.hr = fail_locked(E_UNEXPECTED);
            return result;
        }
        const UniqueMapping& mapping = buffers_[buf.index];
        bool usable = !(buf.flags & V4L2_BUF_FLAG_ERROR) && buf.bytesused > 0;
        if (usable) {
            size_t bytes = buf.bytesused < mapping.size() ? buf.bytesused : mapping.size();
            try {
                result.data = frames_->take(mapping.size());
                result.data.assign(mapping.data(), mapping.data() + bytes);
                result.pool = frames_;
            } catch (const std::bad_alloc&) {
                // No memory for this frame: it is dropped, and the buffer still goes back below.
                usable = false;
            }
            result.timestamp = LONGLONG(buf.timestamp.tv_sec) * 10000000 + LONGLONG(buf.timestamp.tv_usec) * 10;
        }
        int requeue_err = request(VIDIOC_QBUF, "VIDIOC_QBUF", &buf);
        if (requeue_err) fail_locked(MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED);
        if (usable) {
            // The frame is whole; a failed requeue fails the next read.
            result.has_sample = true;
            return result;
        }
        if (requeue_err) result.hr = failure_;
        // A dropped frame ends the read without a sample, as a gap in the stream does: a camera
        // that sends only broken frames must not hold its reader (and a starting session) forever.
        return result;
    }
}

}  // namespace v4l2
}  // namespace mfcompat
