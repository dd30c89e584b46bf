// Internal: the system call table in use, and RAII owners for what it opens.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>

#include <cstddef>

#include "platform_log.h"
#include "platform_owners.h"
#include "platform_syscalls.h"
#include "trelvohdcam_testing.h"

namespace trelvohdcam {

using Sys = trelvohdcam_sys;

// A copy of the table in use; objects keep it so they release through the
// same functions that acquired.
Sys current_sys();

// One stderr line per cause; see platform_log.h.
inline void log_once(const std::string& message, int err = 0) { trelvo_platform::log_once("trelvohdcam", message, err); }

using Fd = trelvo_platform::UniqueFd;
using Mapping = trelvo_platform::UniqueMapping;

// ioctl through the table, repeated when a signal interrupts it. Returns 0 or -errno.
inline int xioctl(const Sys& sys, int fd, unsigned long request, void* arg) {
    return trelvo_platform::ioctl_retry(sys.ioctl, fd, request, arg);
}

// The size of the object behind fd and, when asked, a value that differs between distinct objects.
inline bool object_size(const Sys& sys, int fd, off_t* size, unsigned long long* identity = nullptr) {
    struct stat st {};
    if (sys.fstat(fd, &st) != 0) return false;
    *size = st.st_size;
    if (identity)
        *identity = (static_cast<unsigned long long>(st.st_dev) << 40) ^ static_cast<unsigned long long>(st.st_ino);
    return true;
}

// A shared mapping of the whole object from its start; an empty owner on failure.
inline Mapping map_shared(const Sys& sys, int fd, std::size_t size, int prot) {
    void* p = sys.mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
    return p == MAP_FAILED ? Mapping() : Mapping(p, size, sys.munmap);
}

}  // namespace trelvohdcam
