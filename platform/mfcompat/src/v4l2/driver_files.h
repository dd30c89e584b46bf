// The file side of a simulated V4L2 driver: the descriptors it hands out, the eventfd a reader
// wakes its poll with, directory listings of the nodes, and poll's wait. Header-only, beside
// driver_buffers.h, so that the replay driver and the tests' scripted driver answer these calls
// the same way.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace mfcompat {
namespace v4l2 {

// Descriptors numbered from `first` on, never reused, each with the driver's record of it.
template <class File>
class DriverFiles {
public:
    explicit DriverFiles(int first) : next_(first) {}

    int add(File file) {
        const int fd = next_++;
        files_.emplace(fd, std::move(file));
        return fd;
    }
    File* find(int fd) {
        auto it = files_.find(fd);
        return it == files_.end() ? nullptr : &it->second;
    }
    const File* find(int fd) const { return const_cast<DriverFiles*>(this)->find(fd); }
    bool erase(int fd) { return files_.erase(fd) != 0; }
    size_t size() const { return files_.size(); }

private:
    std::map<int, File> files_;
    int next_;
};

// An eventfd's counter, read and written as the kernel does (8 bytes; EAGAIN for a read of a zero
// counter and for a write that would overflow it). Each returns 8, or -1 with errno.
inline ssize_t eventfd_read(uint64_t* counter, void* buffer, size_t count) {
    if (count < 8) return errno = EINVAL, -1;
    if (*counter == 0) return errno = EAGAIN, -1;
    std::memcpy(buffer, counter, 8);
    *counter = 0;
    return 8;
}
inline ssize_t eventfd_write(uint64_t* counter, const void* buffer, size_t count) {
    if (count < 8) return errno = EINVAL, -1;
    uint64_t add;
    std::memcpy(&add, buffer, 8);
    if (add == UINT64_MAX || *counter > UINT64_MAX - 1 - add) return errno = EAGAIN, -1;
    *counter += add;
    return 8;
}

// Adds the entry of `path` that lies directly in `dir` to *names; false when path is not there.
inline bool add_dir_entry(const std::string& dir, const std::string& path, std::vector<std::string>* names) {
    const std::string prefix = dir + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    std::string rest = path.substr(prefix.size());
    if (rest.empty() || rest.find('/') != std::string::npos) return false;
    names->push_back(std::move(rest));
    return true;
}

// poll's wait under the driver's lock: ready() fills every revents and counts the ready
// descriptors; next_event() is when the driver itself changes something (a frame due), or
// time_point::max(). Every other change notifies `changed`. Returns the count, 0 at the timeout.
template <class Ready, class NextEvent>
int poll_wait(std::unique_lock<std::mutex>& lock, std::condition_variable& changed, int timeout_ms, Ready ready,
              NextEvent next_event) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        timeout_ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int count = ready();
        if (count || Clock::now() >= deadline) return count;
        const Clock::time_point wake = std::min(deadline, next_event());
        if (wake == Clock::time_point::max())
            changed.wait(lock);
        else
            changed.wait_until(lock, wake);
    }
}

}  // namespace v4l2
}  // namespace mfcompat
