// Internal: the system call table in use, and RAII owners for what it opens.
#pragma once

#include <cstddef>
#include <utility>

#include "trelvohdcam_sys.h"

namespace trelvohdcam {

using Sys = trelvohdcam_sys;

// A copy of the table in use; objects keep it so they release through the
// same functions that acquired.
Sys current_sys();

class Fd {
public:
    Fd() = default;
    Fd(int fd, int (*close_fn)(int)) : fd_(fd), close_(close_fn) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept { swap(other); }
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            swap(other);
        }
        return *this;
    }
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0 && close_) close_(fd_);
        fd_ = -1;
    }

private:
    void swap(Fd& other) {
        std::swap(fd_, other.fd_);
        std::swap(close_, other.close_);
    }
    int fd_ = -1;
    int (*close_)(int) = nullptr;
};

class Mapping {
public:
    Mapping() = default;
    Mapping(void* address, std::size_t size, int (*unmap_fn)(void*, std::size_t))
        : address_(address), size_(size), unmap_(unmap_fn) {}
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    Mapping(Mapping&& other) noexcept { swap(other); }
    Mapping& operator=(Mapping&& other) noexcept {
        if (this != &other) {
            reset();
            swap(other);
        }
        return *this;
    }
    ~Mapping() { reset(); }

    unsigned char* data() const { return static_cast<unsigned char*>(address_); }
    std::size_t size() const { return size_; }
    explicit operator bool() const { return address_ != nullptr; }
    void reset() {
        if (address_ && unmap_) unmap_(address_, size_);
        address_ = nullptr;
        size_ = 0;
    }

private:
    void swap(Mapping& other) {
        std::swap(address_, other.address_);
        std::swap(size_, other.size_);
        std::swap(unmap_, other.unmap_);
    }
    void* address_ = nullptr;
    std::size_t size_ = 0;
    int (*unmap_)(void*, std::size_t) = nullptr;
};

}  // namespace trelvohdcam
