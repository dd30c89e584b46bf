#include "v4l2/v4l2_syscalls.h"

#include "v4l2/v4l2_replay.h"
#include "v4l2/v4l2_testing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace mfcompat {
namespace {

int real_open(const char* path, int flags) { return ::open(path, flags); }
int real_close(int fd) { return ::close(fd); }
int real_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
void* real_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}
int real_munmap(void* addr, size_t length) { return ::munmap(addr, length); }
int real_poll(struct pollfd* fds, nfds_t count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }
int real_eventfd(unsigned int initial, int flags) { return ::eventfd(initial, flags); }
ssize_t real_read(int fd, void* buffer, size_t count) { return ::read(fd, buffer, count); }
ssize_t real_write(int fd, const void* buffer, size_t count) { return ::write(fd, buffer, count); }

int real_scandir(const char* dir, struct dirent*** names, int (*filter)(const struct dirent*),
                 int (*compare)(const struct dirent**, const struct dirent**)) {
    return ::scandir(dir, names, filter, compare);
}
char* real_realpath(const char* path, char* resolved) { return ::realpath(path, resolved); }

const V4l2Syscalls kReal = {real_open,   real_close,   real_ioctl, real_mmap,     real_munmap,   real_poll,
                            real_eventfd, real_read,   real_write, real_scandir, real_realpath};

std::atomic<const V4l2Syscalls*> g_table{&kReal};

}  // namespace

const V4l2Syscalls* v4l2_real_syscalls() { return &kReal; }

void v4l2_set_syscalls(const V4l2Syscalls* table) { g_table.store(table ? table : &kReal); }

const V4l2Syscalls* v4l2_syscalls() {
    const V4l2Syscalls* table = g_table.load();
    if (table != &kReal) return table;  // a test's own driver
    // A replayed description stands in for the machine's devices when the environment names one.
    if (const V4l2Syscalls* replay = v4l2_replay_from_environment()) return replay;
    return table;
}

}  // namespace mfcompat
