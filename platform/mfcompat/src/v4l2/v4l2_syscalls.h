// The V4L2 backend reaches the kernel only through this table, so that tests can install a
// scripted fake driver in place of the real device nodes.
#pragma once

#include <windows.h>

#include <poll.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace mfcompat {

struct V4l2Syscalls {
    // POSIX calls with their usual meaning: -1 (or MAP_FAILED) and errno on failure.
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* addr, size_t length);
    int (*poll)(struct pollfd* fds, nfds_t count, int timeout_ms);
    int (*eventfd)(unsigned int initial, int flags);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    // Names in a directory (without "." and ".."); 0, or -1 when it cannot be read.
    int (*list_dir)(const char* dir, std::vector<std::string>* names);
    // The path with every symbolic link resolved; 0, or -1 when it does not resolve.
    int (*real_path)(const char* path, std::string* resolved);
};

// The table in use for new devices: a test's (v4l2_testing.h), the replay that TRELVO_V4L2_REPLAY
// names, or the running kernel's.
const V4l2Syscalls* v4l2_syscalls();

}  // namespace mfcompat
