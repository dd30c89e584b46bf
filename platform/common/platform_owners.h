// Owners of the two kinds of kernel handle the platform libraries make: a file descriptor and a
// memory mapping. Each releases through the function its handle came from (the real system call,
// or a test's fake), which it keeps from the table that acquired it.
#pragma once

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
    void reset() {
        if (fd_ >= 0 && close_) close_(fd_);
        fd_ = -1;
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

    void reset() {
        if (address_ && unmap_) unmap_(address_, size_);
        address_ = nullptr;
        size_ = 0;
    }

private:
    void* address_ = nullptr;
    std::size_t size_ = 0;
    UnmapFn unmap_ = nullptr;
};

}  // namespace trelvo_platform
