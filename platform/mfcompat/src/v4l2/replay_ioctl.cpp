// The requests of a replayed video node, one function each as the kernel's struct v4l2_ioctl_ops
// has them, and the dispatcher that calls them. Each runs under the driver's lock.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "v4l2/replay_driver.h"

namespace mfcompat {
namespace replay {
namespace {

// The format the node gives for the one asked: its listed format of that FourCC (else its first),
// at the listed size nearest in area and shape (as UVC picks it) or the range's nearest step.
void adjust_format(const Node& n, v4l2_pix_format* pix) {
    const FormatDesc* chosen = &n.desc.formats[0];
    for (const FormatDesc& f : n.desc.formats)
        if (f.fourcc == pix->pixelformat) {
            chosen = &f;
            break;
        }
    pix->pixelformat = chosen->fourcc;
    if (chosen->size_type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        uint64_t best = UINT64_MAX;
        uint32_t w = pix->width, h = pix->height;
        for (const SizeEntry& s : chosen->sizes) {
            uint64_t dw = s.width > w ? s.width - w : w - s.width;
            uint64_t dh = s.height > h ? s.height - h : h - s.height;
            uint64_t d = dw * dw + dh * dh;
            if (d < best) {
                best = d;
                pix->width = s.width;
                pix->height = s.height;
            }
        }
    } else {
        const v4l2_frmsize_stepwise& r = chosen->range;
        auto fit = [](uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
            v = std::clamp(v, lo, hi);
            if (step > 1) v = lo + (v - lo) / step * step;
            return v;
        };
        pix->width = fit(pix->width, r.min_width, r.max_width, r.step_width);
        pix->height = fit(pix->height, r.min_height, r.max_height, r.step_height);
    }
    pix->field = V4L2_FIELD_NONE;
    pix->bytesperline = bytes_per_line(pix->pixelformat, pix->width);
    pix->sizeimage = frame_bytes(pix->pixelformat, pix->width, pix->height);
    pix->colorspace = is_compressed(pix->pixelformat) ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
}

// The listed interval nearest the asked one for the current format, as UVC picks it.
v4l2_fract nearest_interval(const Node& n, v4l2_fract asked) {
    const std::vector<v4l2_fract>* list = nullptr;
    const FormatDesc* range_format = nullptr;
    for (const FormatDesc& f : n.desc.formats) {
        if (f.fourcc != n.fourcc) continue;
        if (f.size_type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            for (const SizeEntry& s : f.sizes)
                if (s.width == n.width && s.height == n.height) list = &s.intervals;
        } else {
            list = &f.intervals;
            range_format = &f;
        }
        break;
    }
    auto seconds = [](const v4l2_fract& f) { return double(f.numerator) / double(f.denominator); };
    if (asked.numerator == 0 || asked.denominator == 0) asked = {1, 30};
    if (list && !list->empty()) {
        v4l2_fract best = (*list)[0];
        for (const v4l2_fract& f : *list)
            if (f.denominator && std::abs(seconds(f) - seconds(asked)) < std::abs(seconds(best) - seconds(asked)))
                best = f;
        return best.denominator ? best : v4l2_fract{1, 30};
    }
    if (range_format && range_format->has_interval_range) {
        const v4l2_frmival_stepwise& r = range_format->interval_range;
        if (r.min.denominator && r.max.denominator) {
            if (seconds(asked) < seconds(r.min)) return r.min;
            if (seconds(asked) > seconds(r.max)) return r.max;
        }
        return asked;
    }
    return n.interval;
}

// A text as long as the field fills it without a terminator, as drivers do.
void copy_text(uint8_t* field, size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size));
}

int vidioc_querycap(Request& r, v4l2_capability* cap) {
    const NodeDesc& d = r.node.desc;
    std::memset(cap, 0, sizeof *cap);
    copy_text(cap->driver, sizeof cap->driver, d.driver);
    copy_text(cap->card, sizeof cap->card, d.card);
    copy_text(cap->bus_info, sizeof cap->bus_info, d.bus_info);
    cap->version = d.version;
    cap->capabilities = d.capabilities;
    cap->device_caps = d.device_caps;
    return 0;
}

int vidioc_enum_fmt(Request& r, v4l2_fmtdesc* desc) {
    const NodeDesc& d = r.node.desc;
    const uint32_t index = desc->index, type = desc->type;
    if (type == V4L2_BUF_TYPE_META_CAPTURE) {
        if (index >= d.meta_formats.size()) return fail(EINVAL);
        std::memset(desc, 0, sizeof *desc);
        desc->index = index;
        desc->type = type;
        desc->pixelformat = d.meta_formats[index];
        return 0;
    }
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !r.video || index >= d.formats.size()) return fail(EINVAL);
    std::memset(desc, 0, sizeof *desc);
    desc->index = index;
    desc->type = type;
    desc->pixelformat = d.formats[index].fourcc;
    desc->flags = is_compressed(desc->pixelformat) ? V4L2_FMT_FLAG_COMPRESSED : 0;
    copy_text(desc->description, sizeof desc->description - 1, d.formats[index].description);
    return 0;
}

int vidioc_enum_framesizes(Request& r, v4l2_frmsizeenum* e) {
    if (!r.video) return fail(ENOTTY);
    for (const FormatDesc& f : r.node.desc.formats) {
        if (f.fourcc != e->pixel_format) continue;
        if (f.size_type != V4L2_FRMSIZE_TYPE_DISCRETE) {
            if (e->index != 0) return fail(EINVAL);
            e->type = f.size_type;
            e->stepwise = f.range;
            return 0;
        }
        if (e->index >= f.sizes.size()) return fail(EINVAL);
        e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        e->discrete = {f.sizes[e->index].width, f.sizes[e->index].height};
        return 0;
    }
    return fail(EINVAL);
}

int vidioc_enum_frameintervals(Request& r, v4l2_frmivalenum* e) {
    if (!r.video) return fail(ENOTTY);
    for (const FormatDesc& f : r.node.desc.formats) {
        if (f.fourcc != e->pixel_format) continue;
        const std::vector<v4l2_fract>* list = nullptr;
        if (f.size_type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            // A listed size that appears twice answers with its first entry.
            for (const SizeEntry& s : f.sizes)
                if (s.width == e->width && s.height == e->height) {
                    list = &s.intervals;
                    break;
                }
            if (!list) return fail(EINVAL);
        } else {
            const v4l2_frmsize_stepwise& range = f.range;
            if (e->width < range.min_width || e->width > range.max_width || e->height < range.min_height ||
                e->height > range.max_height)
                return fail(EINVAL);
            if (f.has_interval_range) {
                if (e->index != 0) return fail(EINVAL);
                e->type = f.interval_range_type;
                e->stepwise = f.interval_range;
                return 0;
            }
            list = &f.intervals;
        }
        if (e->index >= list->size()) return fail(EINVAL);
        e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        e->discrete = (*list)[e->index];
        return 0;
    }
    return fail(EINVAL);
}

bool is_video_format(const Request& r, const v4l2_format* fmt) {
    return fmt->type == V4L2_BUF_TYPE_VIDEO_CAPTURE && r.video && !r.node.desc.formats.empty();
}

int vidioc_g_fmt(Request& r, v4l2_format* fmt) {
    if (!is_video_format(r, fmt)) return fail(EINVAL);
    std::memset(&fmt->fmt, 0, sizeof fmt->fmt);
    fmt->fmt.pix.pixelformat = r.node.fourcc;
    fmt->fmt.pix.width = r.node.width;
    fmt->fmt.pix.height = r.node.height;
    adjust_format(r.node, &fmt->fmt.pix);
    return 0;
}

int vidioc_try_fmt(Request& r, v4l2_format* fmt) {
    if (!is_video_format(r, fmt)) return fail(EINVAL);
    const v4l2_pix_format asked = fmt->fmt.pix;
    std::memset(&fmt->fmt, 0, sizeof fmt->fmt);
    fmt->fmt.pix.pixelformat = asked.pixelformat;
    fmt->fmt.pix.width = asked.width;
    fmt->fmt.pix.height = asked.height;
    adjust_format(r.node, &fmt->fmt.pix);
    return 0;
}

int vidioc_s_fmt(Request& r, v4l2_format* fmt) {
    Node& n = r.node;
    if (!is_video_format(r, fmt)) return fail(EINVAL);
    if ((n.buffers.owner() >= 0 && n.buffers.owner() != r.fd) || !n.buffers.empty()) return fail(EBUSY);
    vidioc_try_fmt(r, fmt);
    n.fourcc = fmt->fmt.pix.pixelformat;
    n.width = fmt->fmt.pix.width;
    n.height = fmt->fmt.pix.height;
    n.interval = nearest_interval(n, n.interval);
    return 0;
}

int vidioc_g_parm(Request& r, v4l2_streamparm* p) {
    if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !r.video) return fail(EINVAL);
    std::memset(&p->parm, 0, sizeof p->parm);
    p->parm.capture.capability = r.node.desc.timeperframe ? V4L2_CAP_TIMEPERFRAME : 0;
    p->parm.capture.timeperframe = r.node.interval;
    p->parm.capture.readbuffers = 0;
    return 0;
}

int vidioc_s_parm(Request& r, v4l2_streamparm* p) {
    Node& n = r.node;
    if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !r.video || !n.desc.timeperframe) return fail(EINVAL);
    if (n.streaming) return fail(EBUSY);
    n.interval = nearest_interval(n, p->parm.capture.timeperframe);
    return vidioc_g_parm(r, p);
}

int vidioc_reqbufs(Request& r, v4l2_requestbuffers* req) {
    Node& n = r.node;
    if (req->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req->memory != V4L2_MEMORY_MMAP || !r.video) return fail(EINVAL);
    if (n.streaming) return fail(EBUSY);
    const uint32_t count = req->count ? std::clamp<uint32_t>(req->count, 2, kMaxBuffers) : 0;
    if (int err = n.buffers.request(r.fd, count, frame_bytes(n.fourcc, n.width, n.height))) return fail(err);
    req->count = count;
    return 0;
}

int vidioc_querybuf(Request& r, v4l2_buffer* b) {
    if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
    if (int err = r.node.buffers.query(r.fd, b)) return fail(err);
    return 0;
}

int vidioc_qbuf(Request& r, v4l2_buffer* b) {
    Node& n = r.node;
    if (n.queue_error) return fail(n.queue_error);
    if (b->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
    if (int err = n.buffers.queue(r.fd, b)) return fail(err);
    return 0;
}

int vidioc_dqbuf(Request& r, v4l2_buffer* b) {
    Node& n = r.node;
    if (n.buffers.owner() != r.fd || !n.streaming) return fail(EINVAL);
    if (n.queue_error) return fail(n.queue_error);
    if (int err = n.buffers.dequeue(b)) return fail(err);
    return 0;
}

int vidioc_streamon(Request& r) {
    Node& n = r.node;
    if (n.buffers.owner() != r.fd || n.buffers.empty()) return fail(EINVAL);
    if (!n.streaming) r.registry.start_stream_locked(n);
    return 0;
}

int vidioc_streamoff(Request& r) {
    Node& n = r.node;
    if (n.buffers.owner() != r.fd) return fail(EINVAL);
    n.streaming = false;
    n.queue_error = 0;
    n.buffers.stop();
    return 0;
}

}  // namespace

int node_ioctl(Request& r, unsigned long request, void* arg) {
    switch (request) {
        case VIDIOC_QUERYCAP: return vidioc_querycap(r, static_cast<v4l2_capability*>(arg));
        case VIDIOC_ENUM_FMT: return vidioc_enum_fmt(r, static_cast<v4l2_fmtdesc*>(arg));
        case VIDIOC_ENUM_FRAMESIZES: return vidioc_enum_framesizes(r, static_cast<v4l2_frmsizeenum*>(arg));
        case VIDIOC_ENUM_FRAMEINTERVALS: return vidioc_enum_frameintervals(r, static_cast<v4l2_frmivalenum*>(arg));
        case VIDIOC_G_FMT: return vidioc_g_fmt(r, static_cast<v4l2_format*>(arg));
        case VIDIOC_S_FMT: return vidioc_s_fmt(r, static_cast<v4l2_format*>(arg));
        case VIDIOC_TRY_FMT: return vidioc_try_fmt(r, static_cast<v4l2_format*>(arg));
        case VIDIOC_G_PARM: return vidioc_g_parm(r, static_cast<v4l2_streamparm*>(arg));
        case VIDIOC_S_PARM: return vidioc_s_parm(r, static_cast<v4l2_streamparm*>(arg));
        case VIDIOC_REQBUFS: return vidioc_reqbufs(r, static_cast<v4l2_requestbuffers*>(arg));
        case VIDIOC_QUERYBUF: return vidioc_querybuf(r, static_cast<v4l2_buffer*>(arg));
        case VIDIOC_QBUF: return vidioc_qbuf(r, static_cast<v4l2_buffer*>(arg));
        case VIDIOC_DQBUF: return vidioc_dqbuf(r, static_cast<v4l2_buffer*>(arg));
        case VIDIOC_STREAMON: return vidioc_streamon(r);
        case VIDIOC_STREAMOFF: return vidioc_streamoff(r);
        default: return fail(ENOTTY);
    }
}

}  // namespace replay
}  // namespace mfcompat
