// A scripted V4L2 driver installed in the backend's system-call table: device nodes with listed
// formats, mmap buffers filled from scripted frames, an eventfd, unplugging, fault injection, and
// counters of every descriptor and mapping so that tests can see leaks.
#pragma once

#include <linux/videodev2.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "v4l2/driver_buffers.h"
#include "v4l2/driver_files.h"
#include "v4l2/v4l2_testing.h"

namespace fakev4l2 {

struct Format {
    uint32_t pixel_format = 0;
    std::vector<v4l2_frmsize_discrete> sizes;  // discrete sizes, unless size_range is set
    bool has_size_range = false;
    v4l2_frmsize_stepwise size_range{};
    bool size_range_continuous = false;
    std::vector<v4l2_fract> intervals;  // discrete intervals for every size, unless interval_range is set
    bool has_interval_range = false;
    v4l2_frmival_stepwise interval_range{};
};

struct Node {
    std::string path;
    std::string driver = "fakevideo";
    std::string card;
    uint32_t capabilities = 0;
    uint32_t device_caps = 0;
    std::vector<Format> formats;
    bool timeperframe = true;
    bool endless_format_list = false;  // ENUM_FMT never ends
    int open_errno = 0;                // every open fails with this
    uint32_t buffer_length = 4096;
    // Faults of streaming.
    unsigned long fail_request = 0;  // this ioctl request fails ...
    int fail_request_errno = 0;   // ... with this errno
    int fail_mmap_at = -1;        // the mmap of this buffer index fails
    uint32_t reported_buffers = 0;  // REQBUFS answers with this count when set
    bool report_bytesused_beyond_length = false;
    bool report_bad_index = false;  // DQBUF names a buffer that does not exist
    bool poll_error_on_unplug = true;  // else poll says readable and DQBUF fails with ENODEV
    unsigned long interrupt_request = 0;  // the next call of this ioctl request fails with EINTR, once
};

// The capabilities of a UVC capture node.
constexpr uint32_t kCaptureCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;

class FakeV4l2 {
public:
    FakeV4l2();
    ~FakeV4l2();

    // Puts this driver in the backend's table, and takes it out again.
    void install();
    void uninstall();

    void add_node(Node node);
    void add_link(const std::string& link, const std::string& target);
    Node& node(const std::string& path);  // configure before use

    // Queues a frame on a node; it fills the next buffer the driver owns while streaming.
    void push_frame(const std::string& path, std::vector<uint8_t> bytes, timeval timestamp, uint32_t flags = 0);
    void unplug(const std::string& path);
    void unplug_all();
    // Blocks until `count` polls wait inside the driver, or the timeout passes.
    bool wait_for_blocked_polls(int count, std::chrono::milliseconds timeout);
    // The next poll that would wait fails with EINTR instead.
    void interrupt_next_poll();

    // Counters.
    int opens() const;
    int closes() const;
    int open_descriptors() const;
    int live_mappings() const;
    int total_mappings() const;
    int bad_calls() const;  // closes, unmaps or ioctls on something the driver never gave out
    int streamons() const;
    int streamoffs() const;
    int interruptions() const;  // calls failed with EINTR
    std::vector<v4l2_pix_format> set_formats() const;
    std::vector<v4l2_fract> set_intervals() const;

private:
    struct Frame {
        std::vector<uint8_t> bytes;
        timeval timestamp;
        uint32_t flags;
    };
    struct NodeState {
        Node config;
        bool present = true;
        bool streaming = false;
        mfcompat::v4l2::DriverBuffers buffers;
        std::deque<Frame> pending;
    };
    struct File {
        bool is_eventfd = false;
        std::string node;
        uint64_t counter = 0;
    };

    static FakeV4l2* instance_;
    static int s_open(const char* path, int flags);
    static int s_close(int fd);
    static int s_ioctl(int fd, unsigned long request, void* arg);
    static void* s_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    static int s_munmap(void* addr, size_t length);
    static int s_poll(struct pollfd* fds, nfds_t count, int timeout_ms);
    static int s_eventfd(unsigned int initial, int flags);
    static ssize_t s_read(int fd, void* buffer, size_t count);
    static ssize_t s_write(int fd, const void* buffer, size_t count);
    static int s_scandir(const char* dir, struct dirent*** names, int (*filter)(const struct dirent*),
                         int (*compare)(const struct dirent**, const struct dirent**));
    static char* s_realpath(const char* path, char* resolved);

    int open(const char* path);
    int close(int fd);
    int ioctl(int fd, unsigned long request, void* arg);
    int node_ioctl(NodeState& n, int fd, unsigned long request, void* arg);
    void* mmap(size_t length, int fd, off_t offset);
    int munmap(void* addr, size_t length);
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms);
    int eventfd(unsigned int initial);
    ssize_t read(int fd, void* buffer, size_t count);
    ssize_t write(int fd, const void* buffer, size_t count);
    int list_dir(const char* dir, std::vector<std::string>* names);
    int real_path(const char* path, std::string* resolved);

    void deliver_locked(NodeState& n);
    short revents_locked(const pollfd& p);
    int fail(int err);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, NodeState> nodes_;
    std::map<std::string, std::string> links_;
    mfcompat::v4l2::DriverFiles<File> files_{1000};
    int opens_ = 0, closes_ = 0, live_maps_ = 0, total_maps_ = 0, bad_calls_ = 0;
    int streamons_ = 0, streamoffs_ = 0;
    int blocked_polls_ = 0;
    bool interrupt_poll_ = false;
    int interruptions_ = 0;
    std::vector<v4l2_pix_format> set_formats_;
    std::vector<v4l2_fract> set_intervals_;
    mfcompat::V4l2Syscalls table_;
};

}  // namespace fakev4l2
