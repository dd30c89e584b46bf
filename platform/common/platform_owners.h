// Owners of the two kinds of kernel handle the platform libraries make: a file descriptor and a
// memory mapping. Each releases through the function its handle came from (the real system call,
// or a test's fake), which it keeps from the table that acquired it. Moving hands the handle
// over; release() gives it up unclosed. A close or unmap that fails is logged once per cause: the
// handle counts as released all the same (the kernel frees a descriptor even when close fails), but
// the failure tells of a double close or a device that lost data.
#pragma once

#include "platform_log.h"

#include <cerrno>
#include <cstddef>
#include <utility>

namespace trelvo_platform {

class UniqueFd {
public:
    using CloseFn = int (*)(int);

    UniqueFd() = default;
    UniqueFd(int fd, CloseFn close) : fd_(fd), close_(close) {}
    UniqueFd(UniqueFd&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), close_(std::exchange(other.close_, nullptr)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
            close_ = std::exchange(other.close_, nullptr);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }

    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held and takes fd, which the same close function releases.
    void reset(int fd = -1) {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd && close_ && close_(old) != 0)
            log_once("trelvo", "closing a device or channel descriptor failed; it is released all the same", errno);
    }

private:
    int fd_ = -1;
    CloseFn close_ = nullptr;
};

class UniqueMapping {
public:
    using UnmapFn = int (*)(void*, std::size_t);

    UniqueMapping() = default;
    UniqueMapping(void* address, std::size_t size, UnmapFn unmap) : address_(address), size_(size), unmap_(unmap) {}
    UniqueMapping(UniqueMapping&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          unmap_(std::exchange(other.unmap_, nullptr)) {}
    UniqueMapping& operator=(UniqueMapping&& other) noexcept {
        if (this != &other) {
            reset();
            address_ = std::exchange(other.address_, nullptr);
            size_ = std::exchange(other.size_, 0);
            unmap_ = std::exchange(other.unmap_, nullptr);
        }
        return *this;
    }
    UniqueMapping(const UniqueMapping&) = delete;
    UniqueMapping& operator=(const UniqueMapping&) = delete;
    ~UniqueMapping() { reset(); }

    unsigned char* data() const { return static_cast<unsigned char*>(address_); }
    std::size_t size() const { return size_; }
    explicit operator bool() const { return address_ != nullptr; }

    // Gives the mapping up without unmapping it.
    void* release() {
        size_ = 0;
        return std::exchange(address_, nullptr);
    }
    // Unmaps the mapping held and takes address and size, which the same unmap function releases.
    void reset(void* address = nullptr, std::size_t size = 0) {
        void* const old = std::exchange(address_, address);
        const std::size_t old_size = std::exchange(size_, address ? size : 0);
        if (old && old != address && unmap_ && unmap_(old, old_size) != 0)
            log_once("trelvo", "unmapping a device buffer or channel failed; it is released all the same", errno);
    }

private:
    void* address_ = nullptr;
    std::size_t size_ = 0;
    UnmapFn unmap_ = nullptr;
};

}  // namespace trelvo_platform
