// The replay driver's machine: the nodes a description gives, their streams, losses and replugs,
// and the descriptors open on them, behind the backend's system-call table. replay_driver.cpp
// keeps the machine; replay_ioctl.cpp answers the requests.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "v4l2/driver_buffers.h"
#include "v4l2/driver_files.h"
#include "v4l2/replay_description.h"
#include "v4l2/v4l2_syscalls.h"

namespace mfcompat {
namespace replay {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxBuffers = 32;

struct Node {
    NodeDesc desc;
    uint64_t generation = 0;  // changes on unplug: descriptors of an older one see ENODEV
    bool present = true;
    bool lost = false;  // the loss quirk has happened
    bool replug_pending = false;
    Clock::time_point replug_at{};
    int queue_error = 0;  // EIO: the queue is in error until streaming stops

    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    v4l2_fract interval{1, 30};

    bool streaming = false;
    v4l2::DriverBuffers buffers;
    Clock::time_point stream_start{};
    uint64_t next_index = 0;  // frames of the stream so far, delivered or dropped
    uint64_t produced = 0;    // frames that went into buffers
    std::vector<std::vector<uint8_t>> cycle;
    bool ticking = false;  // in Machine::ticking
};

struct Machine {
    std::vector<std::unique_ptr<Node>> nodes;
    std::map<std::string, Node*> by_path;  // paths and links; of two nodes with a link, the first
    // The nodes that streams or a pending replug make change over time: a call ticks these alone,
    // so that it costs the same however many nodes are described.
    std::vector<Node*> ticking;
};

struct File {
    Machine* machine = nullptr;
    Node* node = nullptr;  // nullptr: an eventfd
    uint64_t generation = 0;
    uint64_t counter = 0;
};

class Registry {
public:
    static Registry& get() {
        // Never destroyed: capture threads may still call in while the process exits.
        static Registry* r = new Registry();
        return *r;
    }

    const V4l2Syscalls* from_environment();
    const V4l2Syscalls* load(const std::string& path, std::string* error);
    // The machine a description gives, not installed; nullptr and *error when it cannot be read.
    static std::unique_ptr<Machine> build(const std::string& path, std::string* error);
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        loaded_ = false;
    }
    const V4l2Syscalls* table() const { return &table_; }
    uint64_t node_ticks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return node_ticks_;
    }

    int open(const char* path);
    int close(int fd);
    int ioctl(int fd, unsigned long request, void* arg);
    void* mmap(size_t length, int fd, off_t offset);
    int munmap(void* addr, size_t length);
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms);
    int eventfd(unsigned int initial);
    ssize_t read(int fd, void* buffer, size_t count);
    ssize_t write(int fd, const void* buffer, size_t count);
    int list_dir(const char* dir, std::vector<std::string>* names);
    int real_path(const char* path, std::string* resolved);

    // For VIDIOC_STREAMON, under the lock: the stream starts with the frames its format gives.
    void start_stream_locked(Node& n);

private:
    Registry();
    void install_locked(std::unique_ptr<Machine> m);
    Node* find_node_locked(const std::string& path);
    void tick_locked(Clock::time_point now);
    void start_ticking_locked(Node& n);
    void tick_node_locked(Node& n, Clock::time_point now);
    void produce_locked(Node& n, Clock::time_point now);
    void lose_locked(Node& n);
    void release_buffers_locked(Node& n);
    Clock::time_point next_event_locked(const struct pollfd* fds, nfds_t count);
    short revents_locked(const pollfd& p);

    std::mutex load_mutex_;  // one load at a time, outside the driver's lock
    std::mutex mutex_;
    std::condition_variable changed_;
    V4l2Syscalls table_;
    bool loaded_ = false;
    std::string loaded_value_;
    Machine* current_ = nullptr;
    std::vector<std::unique_ptr<Machine>> machines_;
    v4l2::DriverFiles<File> files_{0x40000000};  // far from real descriptors, so that a mix-up shows as EBADF
    uint64_t node_ticks_ = 0;
};

// -1 with errno set, as a system call fails.
inline int fail(int err) {
    errno = err;
    return -1;
}

// What one request sees: the node a descriptor opened, the descriptor, and whether the node
// captures video (a metadata node answers few requests).
struct Request {
    Registry& registry;
    Node& node;
    int fd;
    bool video;
};

// The requests of a video node, one function each as struct v4l2_ioctl_ops has them; called
// under the driver's lock. Each returns 0, or -1 with errno.
int node_ioctl(Request& r, unsigned long request, void* arg);

}  // namespace replay
}  // namespace mfcompat
