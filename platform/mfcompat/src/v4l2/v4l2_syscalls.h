// The V4L2 backend reaches the kernel only through this table, so that tests can install a
// scripted fake driver in place of the real device nodes.
#pragma once

#include <windows.h>

#include <dirent.h>
#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

#include <string>
#include <vector>

namespace mfcompat {

struct V4l2Syscalls {
    // POSIX calls with their usual meaning: -1 (MAP_FAILED, nullptr) and errno on failure; an
    // interrupted call is not made again inside the table.
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    void* (*mmap)(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* addr, size_t length);
    int (*poll)(struct pollfd* fds, nfds_t count, int timeout_ms);
    int (*eventfd)(unsigned int initial, int flags);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    // The backend passes no filter or order, and frees the list and each entry with free().
    int (*scandir)(const char* dir, struct dirent*** names, int (*filter)(const struct dirent*),
                   int (*compare)(const struct dirent**, const struct dirent**));
    // The backend passes no buffer and frees the result with free().
    char* (*realpath)(const char* path, char* resolved);
};

// For drivers that stand in for the kernel: `names` as scandir returns them (malloc'd), or -1 and
// ENOMEM.
inline int scandir_result(const std::vector<std::string>& names, struct dirent*** out) {
    auto* list = static_cast<struct dirent**>(std::calloc(names.size() + 1, sizeof(struct dirent*)));
    if (!list) return errno = ENOMEM, -1;
    for (size_t i = 0; i < names.size(); ++i) {
        list[i] = static_cast<struct dirent*>(std::calloc(1, sizeof(struct dirent)));
        if (!list[i]) {
            for (size_t k = 0; k < i; ++k) std::free(list[k]);
            std::free(list);
            return errno = ENOMEM, -1;
        }
        names[i].copy(list[i]->d_name, sizeof list[i]->d_name - 1);
    }
    *out = list;
    return int(names.size());
}

// The table in use for new devices: a test's (v4l2_testing.h), the replay that TRELVO_V4L2_REPLAY
// names, or the running kernel's.
const V4l2Syscalls* v4l2_syscalls();

}  // namespace mfcompat
