// Helpers over the system-call tables of the platform libraries. Each table holds plain functions
// with their POSIX signatures and meaning (-1 or MAP_FAILED with errno on failure), so that a test
// can put a fake device in the place of the real one.
#pragma once

#include <cerrno>

namespace trelvo_platform {

using IoctlFn = int (*)(int fd, unsigned long request, void* arg);

// ioctl, repeated when a signal interrupts it. Returns 0, or -errno.
inline int ioctl_retry(IoctlFn ioctl, int fd, unsigned long request, void* arg) {
    for (;;) {
        if (ioctl(fd, request, arg) != -1) return 0;
        const int err = errno;
        if (err != EINTR) return err > 0 ? -err : -EIO;
    }
}

}  // namespace trelvo_platform
