#include "fake_v4l2.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace fakev4l2 {

FakeV4l2* FakeV4l2::instance_ = nullptr;

FakeV4l2::FakeV4l2() {
    table_ = {s_open, s_close, s_ioctl, s_mmap, s_munmap, s_poll, s_eventfd, s_read, s_write, s_scandir, s_realpath};
}

FakeV4l2::~FakeV4l2() { uninstall(); }

void FakeV4l2::install() {
    instance_ = this;
    mfcompat::v4l2_set_syscalls(&table_);
}

void FakeV4l2::uninstall() {
    if (instance_ == this) {
        mfcompat::v4l2_set_syscalls(nullptr);
        instance_ = nullptr;
    }
}

void FakeV4l2::add_node(Node node) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string path = node.path;
    nodes_[path].config = std::move(node);
}

void FakeV4l2::add_link(const std::string& link, const std::string& target) {
    std::lock_guard<std::mutex> lock(mutex_);
    links_[link] = target;
}

Node& FakeV4l2::node(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = nodes_.find(path);
    if (it == nodes_.end()) throw std::out_of_range(path);
    return it->second.config;
}

void FakeV4l2::push_frame(const std::string& path, std::vector<uint8_t> bytes, timeval timestamp, uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    NodeState& n = nodes_.at(path);
    n.pending.push_back(Frame{std::move(bytes), timestamp, flags});
    deliver_locked(n);
    changed_.notify_all();
}

void FakeV4l2::unplug(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.at(path).present = false;
    changed_.notify_all();
}

void FakeV4l2::unplug_all() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : nodes_) entry.second.present = false;
    changed_.notify_all();
}

void FakeV4l2::interrupt_next_poll() {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupt_poll_ = true;
}

bool FakeV4l2::wait_for_blocked_polls(int count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return blocked_polls_ >= count; });
}

int FakeV4l2::opens() const { std::lock_guard<std::mutex> l(mutex_); return opens_; }
int FakeV4l2::closes() const { std::lock_guard<std::mutex> l(mutex_); return closes_; }
int FakeV4l2::open_descriptors() const { std::lock_guard<std::mutex> l(mutex_); return int(files_.size()); }
int FakeV4l2::live_mappings() const { std::lock_guard<std::mutex> l(mutex_); return live_maps_; }
int FakeV4l2::total_mappings() const { std::lock_guard<std::mutex> l(mutex_); return total_maps_; }
int FakeV4l2::bad_calls() const { std::lock_guard<std::mutex> l(mutex_); return bad_calls_; }
int FakeV4l2::streamons() const { std::lock_guard<std::mutex> l(mutex_); return streamons_; }
int FakeV4l2::streamoffs() const { std::lock_guard<std::mutex> l(mutex_); return streamoffs_; }
int FakeV4l2::interruptions() const { std::lock_guard<std::mutex> l(mutex_); return interruptions_; }
std::vector<v4l2_pix_format> FakeV4l2::set_formats() const { std::lock_guard<std::mutex> l(mutex_); return set_formats_; }
std::vector<v4l2_fract> FakeV4l2::set_intervals() const { std::lock_guard<std::mutex> l(mutex_); return set_intervals_; }

// --- table entries ---------------------------------------------------------------------------
int FakeV4l2::s_open(const char* path, int) { return instance_->open(path); }
int FakeV4l2::s_close(int fd) { return instance_->close(fd); }
int FakeV4l2::s_ioctl(int fd, unsigned long request, void* arg) { return instance_->ioctl(fd, request, arg); }
void* FakeV4l2::s_mmap(void*, size_t length, int, int, int fd, off_t offset) { return instance_->mmap(length, fd, offset); }
int FakeV4l2::s_munmap(void* addr, size_t length) { return instance_->munmap(addr, length); }
int FakeV4l2::s_poll(struct pollfd* fds, nfds_t count, int timeout_ms) { return instance_->poll(fds, count, timeout_ms); }
int FakeV4l2::s_eventfd(unsigned int initial, int) { return instance_->eventfd(initial); }
ssize_t FakeV4l2::s_read(int fd, void* buffer, size_t count) { return instance_->read(fd, buffer, count); }
ssize_t FakeV4l2::s_write(int fd, const void* buffer, size_t count) { return instance_->write(fd, buffer, count); }
int FakeV4l2::s_scandir(const char* dir, struct dirent*** names, int (*)(const struct dirent*),
                        int (*)(const struct dirent**, const struct dirent**)) {
    std::vector<std::string> list;
    if (instance_->list_dir(dir, &list) != 0) return -1;
    return mfcompat::scandir_result(list, names);
}
char* FakeV4l2::s_realpath(const char* path, char*) {
    std::string resolved;
    if (instance_->real_path(path, &resolved) != 0) return nullptr;
    return ::strdup(resolved.c_str());
}

int FakeV4l2::fail(int err) {
    errno = err;
    return -1;
}

int FakeV4l2::open(const char* path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = nodes_.find(path);
    if (it == nodes_.end() || !it->second.present) return fail(ENOENT);
    if (it->second.config.open_errno) return fail(it->second.config.open_errno);
    ++opens_;
    return files_.add(File{false, path, 0});
}

int FakeV4l2::eventfd(unsigned int initial) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++opens_;
    return files_.add(File{true, "", initial});
}

int FakeV4l2::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    File* f = files_.find(fd);
    if (!f) {
        ++bad_calls_;
        return fail(EBADF);
    }
    if (!f->is_eventfd) {
        NodeState& n = nodes_.at(f->node);
        if (n.buffers.owner() == fd) {
            // Closing the owner stops streaming and frees the buffers, once nothing maps them.
            n.streaming = false;
            n.buffers.release();
        }
    }
    files_.erase(fd);
    ++closes_;
    changed_.notify_all();
    return 0;
}

ssize_t FakeV4l2::read(int fd, void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    File* f = files_.find(fd);
    if (!f || !f->is_eventfd) {
        ++bad_calls_;
        return fail(EBADF);
    }
    return mfcompat::v4l2::eventfd_read(&f->counter, buffer, count);
}

ssize_t FakeV4l2::write(int fd, const void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    File* f = files_.find(fd);
    if (!f || !f->is_eventfd) {
        ++bad_calls_;
        return fail(EBADF);
    }
    const ssize_t written = mfcompat::v4l2::eventfd_write(&f->counter, buffer, count);
    changed_.notify_all();
    return written;
}

int FakeV4l2::list_dir(const char* dir, std::vector<std::string>* names) {
    std::lock_guard<std::mutex> lock(mutex_);
    bool any = false;
    for (const auto& entry : nodes_) {
        if (entry.second.present) any |= mfcompat::v4l2::add_dir_entry(dir, entry.first, names);
    }
    for (const auto& entry : links_) any |= mfcompat::v4l2::add_dir_entry(dir, entry.first, names);
    if (std::string(dir) == "/dev") {
        // Other device files and near misses that are no video nodes.
        for (const char* other : {"null", "video", "videoX", "video1a", "media0"}) names->push_back(other);
        any = true;
    }
    return any ? 0 : fail(ENOENT);
}

int FakeV4l2::real_path(const char* path, std::string* resolved) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string p = path;
    auto link = links_.find(p);
    if (link != links_.end()) p = link->second;
    auto n = nodes_.find(p);
    if (n == nodes_.end() || !n->second.present) return fail(ENOENT);
    *resolved = p;
    return 0;
}

void* FakeV4l2::mmap(size_t length, int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    const File* f = files_.find(fd);
    if (!f || f->is_eventfd) {
        ++bad_calls_;
        errno = EBADF;
        return MAP_FAILED;
    }
    NodeState& n = nodes_.at(f->node);
    if (!n.present) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    mfcompat::v4l2::DriverBuffer* buf = n.buffers.mappable(fd, length, offset);
    if (!buf) {
        ++bad_calls_;
        errno = EINVAL;
        return MAP_FAILED;
    }
    if (int(size_t(offset) / mfcompat::v4l2::DriverBuffers::kOffsetStride) == n.config.fail_mmap_at) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    buf->mapped = true;
    ++live_maps_;
    ++total_maps_;
    return buf->memory.data();
}

int FakeV4l2::munmap(void* addr, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : nodes_) {
        if (entry.second.buffers.unmap(addr, length)) {
            --live_maps_;
            return 0;
        }
    }
    ++bad_calls_;
    return fail(EINVAL);
}

short FakeV4l2::revents_locked(const pollfd& p) {
    const File* f = files_.find(p.fd);
    if (!f) return POLLNVAL;
    if (f->is_eventfd) return f->counter > 0 ? (p.events & POLLIN) : 0;
    NodeState& n = nodes_.at(f->node);
    if (!n.present) return n.config.poll_error_on_unplug ? (POLLERR | POLLHUP) : (p.events & POLLIN);
    if (n.buffers.owner() != p.fd || !n.streaming) return POLLERR;
    return n.buffers.has_done() ? (p.events & POLLIN) : 0;
}

int FakeV4l2::poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] {
        int r = 0;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = revents_locked(fds[i]);
            if (fds[i].revents) ++r;
        }
        return r;
    };
    int r = ready();
    if (r || timeout_ms == 0) return r;
    if (interrupt_poll_) {
        interrupt_poll_ = false;
        ++interruptions_;
        return fail(EINTR);
    }
    ++blocked_polls_;
    changed_.notify_all();
    r = mfcompat::v4l2::poll_wait(lock, changed_, timeout_ms, ready,
                                  [] { return std::chrono::steady_clock::time_point::max(); });
    --blocked_polls_;
    return r;
}

void FakeV4l2::deliver_locked(NodeState& n) {
    if (!n.streaming || !n.present) return;
    while (!n.pending.empty()) {
        uint32_t index = 0;
        mfcompat::v4l2::DriverBuffer* buf = n.buffers.next_free(&index);
        if (!buf) return;
        Frame& f = n.pending.front();
        size_t bytes = std::min(f.bytes.size(), buf->memory.size());
        if (bytes) std::memcpy(buf->memory.data(), f.bytes.data(), bytes);
        buf->bytesused = n.config.report_bytesused_beyond_length ? uint32_t(buf->memory.size() + 4096) : uint32_t(bytes);
        buf->timestamp = f.timestamp;
        buf->flags = f.flags;
        n.buffers.complete(index);
        n.pending.pop_front();
    }
}

int FakeV4l2::ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    const File* f = files_.find(fd);
    if (!f || f->is_eventfd) {
        ++bad_calls_;
        return fail(EBADF);
    }
    NodeState& n = nodes_.at(f->node);
    if (!n.present) return fail(ENODEV);
    if (n.config.fail_request != 0 && request == n.config.fail_request)
        return fail(n.config.fail_request_errno);
    if (n.config.interrupt_request != 0 && request == n.config.interrupt_request) {
        n.config.interrupt_request = 0;
        ++interruptions_;
        return fail(EINTR);
    }
    int r = node_ioctl(n, fd, request, arg);
    changed_.notify_all();
    return r;
}

int FakeV4l2::node_ioctl(NodeState& n, int fd, unsigned long request, void* arg) {
    const Node& c = n.config;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            std::memset(cap, 0, sizeof *cap);
            std::memcpy(cap->driver, c.driver.data(), std::min(c.driver.size(), sizeof cap->driver - 1));
            // The card name fills the field without a terminator when it is that long.
            std::memcpy(cap->card, c.card.data(), std::min(c.card.size(), sizeof cap->card));
            cap->capabilities = c.capabilities;
            cap->device_caps = c.device_caps;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* d = static_cast<v4l2_fmtdesc*>(arg);
            if (d->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
            if (c.endless_format_list) {
                d->pixelformat = v4l2_fourcc('E', 'N', 'D', char('0' + d->index % 10));
                return 0;
            }
            if (d->index >= c.formats.size()) return fail(EINVAL);
            d->pixelformat = c.formats[d->index].pixel_format;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* e = static_cast<v4l2_frmsizeenum*>(arg);
            for (const Format& f : c.formats) {
                if (f.pixel_format != e->pixel_format) continue;
                if (f.has_size_range) {
                    if (e->index != 0) return fail(EINVAL);
                    e->type = f.size_range_continuous ? V4L2_FRMSIZE_TYPE_CONTINUOUS : V4L2_FRMSIZE_TYPE_STEPWISE;
                    e->stepwise = f.size_range;
                    return 0;
                }
                if (e->index >= f.sizes.size()) return fail(EINVAL);
                e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                e->discrete = f.sizes[e->index];
                return 0;
            }
            return fail(EINVAL);
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* e = static_cast<v4l2_frmivalenum*>(arg);
            for (const Format& f : c.formats) {
                if (f.pixel_format != e->pixel_format) continue;
                if (f.has_interval_range) {
                    if (e->index != 0) return fail(EINVAL);
                    e->type = V4L2_FRMIVAL_TYPE_STEPWISE;
                    e->stepwise = f.interval_range;
                    return 0;
                }
                if (e->index >= f.intervals.size()) return fail(EINVAL);
                e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                e->discrete = f.intervals[e->index];
                return 0;
            }
            return fail(EINVAL);
        }
        case VIDIOC_S_FMT: {
            auto* fmt = static_cast<v4l2_format*>(arg);
            if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
            if (n.buffers.owner() >= 0 && !n.buffers.empty()) return fail(EBUSY);
            set_formats_.push_back(fmt->fmt.pix);
            if (c.formats.empty()) return fail(EINVAL);
            // Like a real driver, adjust to something supported instead of refusing.
            const Format* chosen = &c.formats[0];
            for (const Format& f : c.formats)
                if (f.pixel_format == fmt->fmt.pix.pixelformat) chosen = &f;
            fmt->fmt.pix.pixelformat = chosen->pixel_format;
            if (chosen->has_size_range) {
                const auto& r = chosen->size_range;
                fmt->fmt.pix.width = std::clamp(fmt->fmt.pix.width, r.min_width, r.max_width);
                fmt->fmt.pix.height = std::clamp(fmt->fmt.pix.height, r.min_height, r.max_height);
            } else {
                bool listed = false;
                for (const auto& s : chosen->sizes)
                    listed |= s.width == fmt->fmt.pix.width && s.height == fmt->fmt.pix.height;
                if (!listed && !chosen->sizes.empty()) {
                    fmt->fmt.pix.width = chosen->sizes[0].width;
                    fmt->fmt.pix.height = chosen->sizes[0].height;
                }
            }
            fmt->fmt.pix.field = V4L2_FIELD_NONE;
            fmt->fmt.pix.sizeimage = c.buffer_length;
            return 0;
        }
        case VIDIOC_G_PARM: {
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
            std::memset(&p->parm, 0, sizeof p->parm);
            p->parm.capture.capability = c.timeperframe ? V4L2_CAP_TIMEPERFRAME : 0;
            p->parm.capture.timeperframe = {1, 30};
            return 0;
        }
        case VIDIOC_S_PARM: {
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (!c.timeperframe) return fail(EINVAL);
            set_intervals_.push_back(p->parm.capture.timeperframe);
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* req = static_cast<v4l2_requestbuffers*>(arg);
            if (req->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
            if (n.streaming) return fail(EBUSY);
            uint32_t count = c.reported_buffers ? c.reported_buffers : req->count;
            if (int err = n.buffers.request(fd, req->count ? std::min<uint32_t>(count, 64) : 0, c.buffer_length))
                return fail(err);
            if (req->count) req->count = count;
            return 0;
        }
        case VIDIOC_QUERYBUF:
            if (int err = n.buffers.query(fd, static_cast<v4l2_buffer*>(arg))) return fail(err);
            return 0;
        case VIDIOC_QBUF:
            if (int err = n.buffers.queue(fd, static_cast<v4l2_buffer*>(arg))) return fail(err);
            deliver_locked(n);
            return 0;
        case VIDIOC_DQBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (n.buffers.owner() != fd || !n.streaming) return fail(EINVAL);
            if (int err = n.buffers.dequeue(b)) return fail(err);
            if (c.report_bad_index) b->index += 100;
            return 0;
        }
        case VIDIOC_STREAMON:
            if (n.buffers.owner() != fd) return fail(EINVAL);
            n.streaming = true;
            ++streamons_;
            deliver_locked(n);
            return 0;
        case VIDIOC_STREAMOFF:
            if (n.buffers.owner() != fd) return fail(EINVAL);
            n.streaming = false;
            n.buffers.stop();
            ++streamoffs_;
            return 0;
        default:
            return fail(ENOTTY);
    }
}

}  // namespace fakev4l2
