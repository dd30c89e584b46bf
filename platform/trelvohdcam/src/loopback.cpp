#include "loopback.h"

#include "trelvohdcam.h"
#include "v4l2_capabilities.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <string>
#include <vector>

namespace trelvohdcam {
namespace {

constexpr int kMaxScannedDevices = 64;

std::vector<std::string> candidate_paths() {
    const char* env = std::getenv("TRELVOHDCAM_LOOPBACK");
    if (env && *env) {
        if (std::strcmp(env, "off") == 0) return {};
        return {env};
    }
    std::vector<std::string> paths;
    for (int i = 0; i < kMaxScannedDevices; ++i) paths.push_back("/dev/video" + std::to_string(i));
    return paths;
}

constexpr char kReload[] =
    "sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback devices=1 video_nr=10 card_label=\"trelvo\" "
    "exclusive_caps=1";

enum class Role { kOutput, kNotLoopback, kBusy, kUnusable };

// What the device offers a new writer. With exclusive_caps=1 a loopback device is an output while
// nobody writes and a camera while a writer streams; a writer that wrote without streaming leaves
// it neither, and on newer drivers one that did not stop its stream leaves it a camera: then only
// reloading the module brings it back.
Role loopback_role(const Sys& sys, int fd) {
    v4l2_capability cap{};
    if (xioctl(sys, fd, VIDIOC_QUERYCAP, &cap) != 0) return Role::kNotLoopback;
    if (!trelvo_platform::is_loopback(cap)) return Role::kNotLoopback;
    const uint32_t caps = trelvo_platform::node_caps(cap);
    if (caps & V4L2_CAP_VIDEO_OUTPUT) return Role::kOutput;
    if (caps & V4L2_CAP_VIDEO_CAPTURE) return Role::kBusy;
    return Role::kUnusable;
}

void log_named_role(const std::string& path, Role role) {
    const std::string device = path + ", which TRELVOHDCAM_LOOPBACK names, ";
    if (role == Role::kNotLoopback)
        log_once(device + "is no v4l2loopback device");
    else if (role == Role::kBusy)
        log_once(device + "is taken by another writer; if none runs, reload the module: " + kReload);
    else if (role == Role::kUnusable)
        log_once(device + "was left unusable by an earlier writer; reload the module: " + kReload);
}

std::string describe(int width, int height, uint32_t pixelformat) {
    std::string text = std::to_string(width) + "x" + std::to_string(height) + " ";
    for (int shift = 0; shift < 32; shift += 8) text += static_cast<char>((pixelformat >> shift) & 0xff);
    return text;
}

bool set_format(const Sys& sys, const std::string& path, int fd, int width, int height, uint32_t pixelformat,
                uint32_t bytes_per_pixel, std::size_t frame_size) {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = static_cast<uint32_t>(width);
    fmt.fmt.pix.height = static_cast<uint32_t>(height);
    fmt.fmt.pix.pixelformat = pixelformat;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    fmt.fmt.pix.bytesperline = static_cast<uint32_t>(width) * bytes_per_pixel;
    fmt.fmt.pix.sizeimage = static_cast<uint32_t>(frame_size);
    fmt.fmt.pix.colorspace = pixelformat == V4L2_PIX_FMT_YUYV ? V4L2_COLORSPACE_SMPTE170M
                                                              : V4L2_COLORSPACE_SRGB;
    const std::string wanted = describe(width, height, pixelformat);
    if (int err = xioctl(sys, fd, VIDIOC_S_FMT, &fmt)) {
        log_once("loopback device " + path + " refuses " + wanted, -err);
        return false;
    }
    // The driver may adjust the format; our pictures only fit the exact one.
    if (fmt.fmt.pix.width == static_cast<uint32_t>(width) && fmt.fmt.pix.height == static_cast<uint32_t>(height) &&
        fmt.fmt.pix.pixelformat == pixelformat)
        return true;
    log_once("loopback device " + path + " refuses " + wanted + " (offers " +
             describe(static_cast<int>(fmt.fmt.pix.width), static_cast<int>(fmt.fmt.pix.height),
                      fmt.fmt.pix.pixelformat) +
             ")");
    return false;
}

void set_frame_rate(const Sys& sys, int fd, float fps) {
    if (!(fps > 0.0f) || !std::isfinite(fps) || fps > 10000.0f) return;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe.numerator = 1000;
    parm.parm.output.timeperframe.denominator = static_cast<uint32_t>(std::lround(fps * 1000.0f));
    // Only advertised to consumers; a driver that refuses it still works.
    (void)xioctl(sys, fd, VIDIOC_S_PARM, &parm);
}

}  // namespace

std::unique_ptr<LoopbackOutput> LoopbackOutput::open(int width, int height, int type, float fps) {
    uint32_t pixelformat;
    uint32_t bpp;
    if (type == TRELVOHDCAM_TYPE_RGB24) {
        pixelformat = V4L2_PIX_FMT_BGR24;
        bpp = 3;
    } else if (type == TRELVOHDCAM_TYPE_YUY2) {
        pixelformat = V4L2_PIX_FMT_YUYV;
        bpp = 2;
    } else {
        return nullptr;
    }
    const std::size_t frame_size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * bpp;
    const Sys sys = current_sys();
    const std::vector<std::string> paths = candidate_paths();
    // A device the environment names is meant to work: say why it does not. A scan passes over the
    // machine's other devices in silence.
    const bool named = paths.size() == 1;
    for (const std::string& path : paths) {
        int raw = sys.open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (raw < 0) {
            if (named) log_once("cannot open the loopback device " + path + " that TRELVOHDCAM_LOOPBACK names", errno);
            continue;
        }
        Fd fd(raw, sys.close);
        const Role role = loopback_role(sys, raw);
        if (role != Role::kOutput) {
            if (named) log_named_role(path, role);
            continue;
        }
        if (!set_format(sys, path, raw, width, height, pixelformat, bpp, frame_size)) continue;
        set_frame_rate(sys, raw, fps);
        // Only a writer that streams hands the device back as an output when it closes; one that
        // writes without leaves it unusable until the module is reloaded.
        int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        if (int err = xioctl(sys, raw, VIDIOC_STREAMON, &type)) {
            log_once("loopback device " + path + " refuses to start streaming", -err);
            continue;
        }
        std::unique_ptr<LoopbackOutput> out(new LoopbackOutput());
        out->sys_ = sys;
        out->fd_ = std::move(fd);
        out->frame_size_ = frame_size;
        out->path_ = path;
        return out;
    }
    return nullptr;
}

LoopbackOutput::~LoopbackOutput() { stop(); }

void LoopbackOutput::stop() {
    if (!fd_) return;
    // Newer drivers return the device to the next writer only after an explicit stop; a device
    // that is gone answers with an error that changes nothing.
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    (void)xioctl(sys_, fd_.get(), VIDIOC_STREAMOFF, &type);
    fd_.reset();
}

void LoopbackOutput::write(const void* picture) {
    if (!fd_) return;
    ssize_t n;
    do {
        n = sys_.write(fd_.get(), picture, frame_size_);
    } while (n < 0 && errno == EINTR);
    // A full device drops this picture; a device that is gone is given up.
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        log_once("loopback device " + path_ + " fails a write; no more pictures go to it", errno);
        stop();
    }
}

}  // namespace trelvohdcam
