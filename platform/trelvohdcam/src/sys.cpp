#include "sys.h"

#include <fcntl.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trelvohdcam {
namespace {

int sys_open(const char* path, int flags) { return ::open(path, flags); }
int sys_close(int fd) { return ::close(fd); }
int sys_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
ssize_t sys_write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int sys_shm_open(const char* name, int flags, mode_t mode) { return ::shm_open(name, flags, mode); }
int sys_ftruncate(int fd, off_t size) { return ::ftruncate(fd, size); }
int sys_fstat(int fd, struct stat* st) { return ::fstat(fd, st); }
void* sys_mmap(void* address, size_t size, int prot, int flags, int fd, off_t offset) {
    return ::mmap(address, size, prot, flags, fd, offset);
}
int sys_munmap(void* address, size_t size) { return ::munmap(address, size); }
int sys_fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int sys_posix_fallocate(int fd, off_t offset, off_t len) { return ::posix_fallocate(fd, offset, len); }
int sys_shm_unlink(const char* name) { return ::shm_unlink(name); }

constexpr Sys kDefaults = {sys_open,      sys_close,      sys_ioctl,
                           sys_write,     sys_shm_open,   sys_ftruncate,
                           sys_fstat,     sys_mmap,      sys_munmap,
                           sys_fchmod,    sys_posix_fallocate, sys_shm_unlink};

std::mutex g_sys_mutex;
Sys g_sys = kDefaults;

}  // namespace

Sys current_sys() {
    std::lock_guard<std::mutex> lock(g_sys_mutex);
    return g_sys;
}

}  // namespace trelvohdcam

extern "C" {

TRELVOHDCAM_API void trelvohdcam_sys_defaults(trelvohdcam_sys* out) {
    if (out) *out = trelvohdcam::kDefaults;
}

TRELVOHDCAM_API void trelvohdcam_sys_get(trelvohdcam_sys* out) {
    if (out) *out = trelvohdcam::current_sys();
}

TRELVOHDCAM_API void trelvohdcam_sys_set(const trelvohdcam_sys* table) {
    trelvohdcam::Sys next = trelvohdcam::kDefaults;
    if (table) {
        // A missing entry keeps the real call rather than crashing later.
        if (table->open) next.open = table->open;
        if (table->close) next.close = table->close;
        if (table->ioctl) next.ioctl = table->ioctl;
        if (table->write) next.write = table->write;
        if (table->shm_open) next.shm_open = table->shm_open;
        if (table->ftruncate) next.ftruncate = table->ftruncate;
        if (table->fstat) next.fstat = table->fstat;
        if (table->mmap) next.mmap = table->mmap;
        if (table->munmap) next.munmap = table->munmap;
        if (table->fchmod) next.fchmod = table->fchmod;
        if (table->posix_fallocate) next.posix_fallocate = table->posix_fallocate;
        if (table->shm_unlink) next.shm_unlink = table->shm_unlink;
    }
    std::lock_guard<std::mutex> lock(trelvohdcam::g_sys_mutex);
    trelvohdcam::g_sys = next;
}

}  // extern "C"
