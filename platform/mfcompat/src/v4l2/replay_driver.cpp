// The replay driver's machine: nodes built from a description, streams that deliver frames in
// real time at the interval set, losses and replugs, and every call of the backend's system-call
// table but the requests (replay_ioctl.cpp).
#include "v4l2/replay_driver.h"

#include <dirent.h>
#include <sys/mman.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "subtype_table.h"
#include "sim/pattern.h"
#include "v4l2/v4l2_internal.h"
#include "v4l2/v4l2_replay.h"
#include "v4l2/v4l2_testing.h"
#include "v4l2_capabilities.h"

namespace mfcompat {
namespace replay {
namespace {

// Generated pictures cycle through this many frames, fewer for large pictures.
constexpr size_t kCycleFrames = 8;
constexpr size_t kCycleBytes = 16u << 20;

// At least a millisecond, so that an absurd interval cannot spin the driver.
std::chrono::duration<double> frame_period(const v4l2_fract& interval) {
    double seconds = interval.denominator ? double(interval.numerator) / double(interval.denominator) : 0;
    return std::chrono::duration<double>(seconds < 0.001 ? 0.001 : seconds);
}

// The table's entries are system calls to their callers: what C++ throws inside (memory for a
// stream's pictures) comes out as the errno a kernel would give, with `failed` as the result.
template <class Result, class Call>
Result as_system_call(Result failed, Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    } catch (...) {
        errno = EIO;
    }
    return failed;
}

int s_open(const char* path, int) {
    return as_system_call(-1, [&] { return Registry::get().open(path); });
}
int s_close(int fd) {
    return as_system_call(-1, [&] { return Registry::get().close(fd); });
}
int s_ioctl(int fd, unsigned long request, void* arg) {
    return as_system_call(-1, [&] { return Registry::get().ioctl(fd, request, arg); });
}
void* s_mmap(void*, size_t length, int, int, int fd, off_t offset) {
    return as_system_call(MAP_FAILED, [&] { return Registry::get().mmap(length, fd, offset); });
}
int s_munmap(void* addr, size_t length) {
    return as_system_call(-1, [&] { return Registry::get().munmap(addr, length); });
}
int s_poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    return as_system_call(-1, [&] { return Registry::get().poll(fds, count, timeout_ms); });
}
int s_eventfd(unsigned int initial, int) {
    return as_system_call(-1, [&] { return Registry::get().eventfd(initial); });
}
ssize_t s_read(int fd, void* buffer, size_t count) {
    return as_system_call(ssize_t(-1), [&] { return Registry::get().read(fd, buffer, count); });
}
ssize_t s_write(int fd, const void* buffer, size_t count) {
    return as_system_call(ssize_t(-1), [&] { return Registry::get().write(fd, buffer, count); });
}
int s_scandir(const char* dir, struct dirent*** names, int (*)(const struct dirent*),
              int (*)(const struct dirent**, const struct dirent**)) {
    return as_system_call(-1, [&] {
        std::vector<std::string> list;
        if (Registry::get().list_dir(dir, &list) != 0) return -1;
        return scandir_result(list, names);
    });
}
char* s_realpath(const char* path, char*) {
    return as_system_call(static_cast<char*>(nullptr), [&]() -> char* {
        std::string resolved;
        if (Registry::get().real_path(path, &resolved) != 0) return nullptr;
        char* copy = ::strdup(resolved.c_str());
        if (!copy) errno = ENOMEM;
        return copy;
    });
}

}  // namespace

Registry::Registry() {
    table_ = {s_open, s_close, s_ioctl, s_mmap, s_munmap, s_poll, s_eventfd, s_read, s_write, s_scandir, s_realpath};
}

void Registry::install_locked(std::unique_ptr<Machine> m) {
    if (current_) {
        // The old machine's devices are unplugged; buffers still mapped stay until unmapped. The
        // machine itself is kept, as descriptors of it may still be open.
        for (auto& n : current_->nodes) {
            n->present = false;
            n->replug_pending = false;
            ++n->generation;
            release_buffers_locked(*n);
        }
    }
    current_ = m.get();
    machines_.push_back(std::move(m));
    changed_.notify_all();
}

const V4l2Syscalls* Registry::load(const std::string& path, std::string* error) {
    std::unique_ptr<Machine> m = build(path, error);
    if (!m) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    install_locked(std::move(m));
    return &table_;
}

std::unique_ptr<Machine> Registry::build(const std::string& path, std::string* error) {
    auto m = std::make_unique<Machine>();
    try {
        for (NodeDesc& d : load_description(path)) {
            auto n = std::make_unique<Node>();
            n->desc = std::move(d);
            if (!n->desc.formats.empty()) {
                const FormatDesc& f = n->desc.formats[0];
                n->fourcc = f.fourcc;
                if (!f.sizes.empty()) {
                    n->width = f.sizes[0].width;
                    n->height = f.sizes[0].height;
                } else {
                    n->width = f.range.max_width;
                    n->height = f.range.max_height;
                }
            }
            m->nodes.push_back(std::move(n));
        }
        for (auto& n : m->nodes) {
            m->by_path.emplace(n->desc.path, n.get());
            for (const std::string& l : n->desc.links) m->by_path.emplace(l, n.get());
        }
    } catch (const LoadError& e) {
        if (error) *error = e.what;
        return nullptr;
    } catch (const std::bad_alloc&) {
        if (error) *error = path + ": out of memory while reading it; describe fewer or smaller cameras";
        return nullptr;
    }
    return m;
}

const V4l2Syscalls* Registry::from_environment() {
    const char* value = std::getenv(kV4l2ReplayVariable);
    if (!value || !*value) return nullptr;
    std::lock_guard<std::mutex> loading(load_mutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loaded_ && loaded_value_ == value) return &table_;
    }
    std::string path = value, error;
    if (!load(path, &error)) {
        std::fprintf(stderr, "%s: %s\n", kV4l2ReplayVariable, error.c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        install_locked(std::make_unique<Machine>());  // no devices rather than the real ones
    }
    std::lock_guard<std::mutex> lock(mutex_);
    loaded_ = true;
    loaded_value_ = path;
    return &table_;
}

Node* Registry::find_node_locked(const std::string& path) {
    if (!current_) return nullptr;
    auto it = current_->by_path.find(path);
    return it == current_->by_path.end() ? nullptr : it->second;
}

void Registry::start_ticking_locked(Node& n) {
    if (n.ticking || !current_) return;
    n.ticking = true;
    current_->ticking.push_back(&n);
}

// Replugs what is due and fills buffers with the frames whose time has come.
void Registry::tick_locked(Clock::time_point now) {
    if (!current_) return;
    std::vector<Node*>& ticking = current_->ticking;
    for (Node* n : ticking) tick_node_locked(*n, now);
    ticking.erase(std::remove_if(ticking.begin(), ticking.end(),
                                 [](Node* n) {
                                     n->ticking = n->streaming || n->replug_pending;
                                     return !n->ticking;
                                 }),
                  ticking.end());
}

void Registry::tick_node_locked(Node& n, Clock::time_point now) {
    ++node_ticks_;
    if (n.replug_pending && now >= n.replug_at) {
        n.replug_pending = false;
        n.present = true;
        changed_.notify_all();
    }
    if (!n.present || !n.streaming || n.queue_error) return;
    const auto period = frame_period(n.interval);
    auto due = [&](uint64_t index) {
        return n.stream_start + std::chrono::duration_cast<Clock::duration>(period * double(index));
    };
    // A reader that stalled for long does not get the missed frames in a burst.
    if (now - due(n.next_index) > std::chrono::seconds(1))
        n.next_index = uint64_t((now - n.stream_start) / period);
    while (n.present && n.streaming && !n.queue_error && due(n.next_index) <= now) {
        produce_locked(n, now);
        ++n.next_index;
    }
}

void Registry::lose_locked(Node& n) {
    n.lost = true;
    if (n.desc.quirks.lost_errno == EIO) {
        n.queue_error = EIO;
    } else {
        n.present = false;
        ++n.generation;
        release_buffers_locked(n);
        if (n.desc.quirks.replug_after_ms >= 0) {
            n.replug_pending = true;
            start_ticking_locked(n);
            n.replug_at = Clock::now() + std::chrono::milliseconds(n.desc.quirks.replug_after_ms);
        }
    }
    changed_.notify_all();
}

void Registry::produce_locked(Node& n, Clock::time_point now) {
    const Quirks& q = n.desc.quirks;
    if (q.lost_after && !n.lost && n.produced >= q.lost_after) {
        // The reader gets every frame captured before the loss, so that "after N frames" is exact.
        if (!n.buffers.has_done()) lose_locked(n);
        return;
    }
    uint32_t index = 0;
    v4l2::DriverBuffer* buf = n.buffers.next_free(&index);
    if (!buf) return;  // no buffer queued: the frame is lost, as on a real device
    const uint64_t number = ++n.produced;  // 1-based
    const std::vector<uint8_t>& frame = n.cycle[size_t((number - 1) % n.cycle.size())];
    const size_t capacity = buf->memory.size();
    uint32_t flags = 0;
    size_t used;
    if (q.zero_first_frame && number == 1) {
        std::memset(buf->memory.data(), 0, capacity);
        used = capacity;
    } else {
        used = std::min(frame.size(), capacity);
        std::memcpy(buf->memory.data(), frame.data(), used);
        if (frame.size() > capacity) flags |= V4L2_BUF_FLAG_ERROR;
        if (q.zero_padding) {
            size_t pad = std::min<size_t>(q.zero_padding, capacity - used);
            std::memset(buf->memory.data() + used, 0, pad);
            used += pad;
        }
        if (q.error_every && number % q.error_every == 0) flags |= V4L2_BUF_FLAG_ERROR;
        if (q.empty_every && number % q.empty_every == 0) used = 0;
    }
    auto since_epoch = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    buf->bytesused = uint32_t(used);
    buf->flags = flags | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    buf->sequence = uint32_t(n.next_index);
    buf->timestamp.tv_sec = time_t(since_epoch / 1000000);
    buf->timestamp.tv_usec = suseconds_t(since_epoch % 1000000);
    n.buffers.complete(index);
    changed_.notify_all();
}

void Registry::release_buffers_locked(Node& n) {
    n.buffers.release();
    n.streaming = false;
    n.queue_error = 0;
    n.cycle.clear();
}

void Registry::start_stream_locked(Node& n) {
    n.cycle.clear();
    for (const Recording& r : n.desc.recordings) {
        if (r.fourcc == n.fourcc && r.width == n.width && r.height == n.height) {
            n.cycle = r.frames;
            break;
        }
    }
    if (n.cycle.empty()) {
        const GUID subtype = v4l2::subtype_from_pixel_format(n.fourcc);
        const bool renders = find_subtype(subtype) != nullptr;
        if (renders) {
            sim::FrameEncoder encoder(subtype, n.width, n.height);
            if (encoder.init()) {
                sim::Canvas canvas;
                canvas.width = n.width;
                canvas.height = n.height;
                canvas.bgr.resize(size_t(n.width) * n.height * 3);
                size_t per_frame = std::max<size_t>(1, frame_bytes(n.fourcc, n.width, n.height));
                size_t count = std::max<size_t>(1, std::min(kCycleFrames, kCycleBytes / per_frame));
                for (size_t i = 0; i < count; ++i) {
                    sim::draw_moving_pattern(canvas, uint32_t(i));
                    std::vector<uint8_t> bytes = encoder.encode(canvas, int64_t(i));
                    if (!bytes.empty()) n.cycle.push_back(std::move(bytes));
                }
            }
        }
        // A format nothing here can render (H.264, Bayer, ...) still streams: grey bytes.
        if (n.cycle.empty()) n.cycle.emplace_back(std::max<uint32_t>(1, frame_bytes(n.fourcc, n.width, n.height) / 4), 0x80);
    }
    n.streaming = true;
    start_ticking_locked(n);
    n.stream_start = Clock::now();
    n.next_index = 0;
    n.produced = 0;
}

int Registry::open(const char* path) {
    std::lock_guard<std::mutex> lock(mutex_);
    tick_locked(Clock::now());
    Node* n = find_node_locked(path);
    if (!n || !n->present) return fail(ENOENT);
    return files_.add(File{current_, n, n->generation, 0});
}

int Registry::eventfd(unsigned int initial) {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.add(File{nullptr, nullptr, 0, initial});
}

int Registry::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    File* f = files_.find(fd);
    if (!f) return fail(EBADF);
    if (f->node && f->node->buffers.owner() == fd && f->generation == f->node->generation) {
        // Closing the owner stops streaming and frees the buffers, once nothing maps them.
        release_buffers_locked(*f->node);
    }
    files_.erase(fd);
    changed_.notify_all();
    return 0;
}

ssize_t Registry::read(int fd, void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    File* f = files_.find(fd);
    if (!f || f->node) return fail(EBADF);
    return v4l2::eventfd_read(&f->counter, buffer, count);
}

ssize_t Registry::write(int fd, const void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    File* f = files_.find(fd);
    if (!f || f->node) return fail(EBADF);
    const ssize_t written = v4l2::eventfd_write(&f->counter, buffer, count);
    changed_.notify_all();
    return written;
}

int Registry::list_dir(const char* dir, std::vector<std::string>* names) {
    std::lock_guard<std::mutex> lock(mutex_);
    tick_locked(Clock::now());
    if (!current_) return fail(ENOENT);
    bool any = std::strcmp(dir, "/dev") == 0;  // /dev exists even without cameras
    for (auto& n : current_->nodes) {
        if (!n->present) continue;
        any |= v4l2::add_dir_entry(dir, n->desc.path, names);
        for (const std::string& l : n->desc.links) any |= v4l2::add_dir_entry(dir, l, names);
    }
    return any ? 0 : fail(ENOENT);
}

int Registry::real_path(const char* path, std::string* resolved) {
    std::lock_guard<std::mutex> lock(mutex_);
    tick_locked(Clock::now());
    Node* n = find_node_locked(path);
    if (!n || !n->present) return fail(ENOENT);
    *resolved = n->desc.path;
    return 0;
}

void* Registry::mmap(size_t length, int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    File* f = files_.find(fd);
    if (!f || !f->node) return errno = EBADF, MAP_FAILED;
    Node& n = *f->node;
    if (f->generation != n.generation || !n.present) return errno = ENODEV, MAP_FAILED;
    v4l2::DriverBuffer* buf = n.buffers.mappable(fd, length, offset);
    if (!buf) return errno = EINVAL, MAP_FAILED;
    buf->mapped = true;
    return buf->memory.data();
}

int Registry::munmap(void* addr, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& m : machines_) {
        for (auto& n : m->nodes)
            if (n->buffers.unmap(addr, length)) return 0;
    }
    return fail(EINVAL);
}

short Registry::revents_locked(const pollfd& p) {
    const File* f = files_.find(p.fd);
    if (!f) return POLLNVAL;
    if (!f->node) return f->counter > 0 ? short(p.events & POLLIN) : short(0);
    const Node& n = *f->node;
    if (f->generation != n.generation || !n.present) return POLLERR | POLLHUP;
    if (n.buffers.owner() != p.fd || !n.streaming || n.queue_error) return POLLERR;
    return n.buffers.has_done() ? short(p.events & POLLIN) : short(0);
}

Clock::time_point Registry::next_event_locked(const struct pollfd* fds, nfds_t count) {
    Clock::time_point next = Clock::time_point::max();
    if (!current_) return next;
    for (Node* n : current_->ticking) {
        if (n->replug_pending) next = std::min(next, n->replug_at);
    }
    for (nfds_t i = 0; i < count; ++i) {
        const File* f = files_.find(fds[i].fd);
        if (!f || !f->node) continue;
        const Node& n = *f->node;
        if (!n.streaming || !n.present) continue;
        const auto period = frame_period(n.interval);
        next = std::min(next, n.stream_start + std::chrono::duration_cast<Clock::duration>(period * double(n.next_index)));
    }
    return next;
}

int Registry::poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] {
        tick_locked(Clock::now());
        int n = 0;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = revents_locked(fds[i]);
            if (fds[i].revents) ++n;
        }
        return n;
    };
    return v4l2::poll_wait(lock, changed_, timeout_ms, ready, [&] { return next_event_locked(fds, count); });
}

int Registry::ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    tick_locked(Clock::now());
    File* f = files_.find(fd);
    if (!f || !f->node) return fail(EBADF);
    if (f->generation != f->node->generation || !f->node->present) return fail(ENODEV);
    const NodeDesc& d = f->node->desc;
    const bool video = (trelvo_platform::node_caps(d.capabilities, d.device_caps) & V4L2_CAP_VIDEO_CAPTURE) != 0;
    Request call{*this, *f->node, fd, video};
    const int result = node_ioctl(call, request, arg);
    changed_.notify_all();
    return result;
}

}  // namespace replay

const V4l2Syscalls* v4l2_replay_from_environment() { return replay::Registry::get().from_environment(); }

const V4l2Syscalls* v4l2_replay_load(const std::string& path, std::string* error) {
    return replay::Registry::get().load(path, error);
}

void v4l2_replay_reset() { replay::Registry::get().reset(); }

uint64_t v4l2_replay_node_ticks() { return replay::Registry::get().node_ticks(); }

bool v4l2_replay_check(const std::string& path, std::string* error) {
    return replay::Registry::build(path, error) != nullptr;
}

}  // namespace mfcompat

extern "C" MFCOMPAT_API void mfcompat_v4l2_replay_reset(void) { mfcompat::v4l2_replay_reset(); }
