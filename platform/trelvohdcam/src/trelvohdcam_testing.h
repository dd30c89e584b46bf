/* trelvohdcam system calls: the table every presentation goes through. A test
 * hook, not part of the library's public headers.
 *
 * The shared-memory channel, its reader and the v4l2loopback output make
 * their system calls through one table, so that a test can count them or put
 * a fake loopback device in their place. Objects copy the table when they
 * open a resource and close it through the same copy, so a table swapped
 * later never receives a handle it did not make. The entries have the POSIX
 * signatures and meaning: -1 (MAP_FAILED for mmap) with errno on failure, and
 * no retry of an interrupted call inside the table.
 *
 * The v4l2loopback output looks at /dev/video0 .. /dev/video63 unless the
 * environment variable TRELVOHDCAM_LOOPBACK names one device path, or is
 * "off" to use none (read when a camera is created).
 */
#ifndef TRELVOHDCAM_TESTING_H
#define TRELVOHDCAM_TESTING_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "trelvohdcam.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct trelvohdcam_sys {
    /* devices */
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    ssize_t (*write)(int fd, const void* data, size_t size);
    /* shared memory */
    int (*shm_open)(const char* name, int flags, mode_t mode);
    int (*ftruncate)(int fd, off_t size);
    int (*fstat)(int fd, struct stat* st);
    void* (*mmap)(void* address, size_t size, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* address, size_t size);
    /* added later; a table that leaves them NULL keeps the real calls. posix_fallocate returns
     * the error number itself, as POSIX has it, instead of setting errno. */
    int (*fchmod)(int fd, mode_t mode);
    int (*posix_fallocate)(int fd, off_t offset, off_t len);
    int (*shm_unlink)(const char* name);
} trelvohdcam_sys;

/* Fills *out with the real system calls. */
TRELVOHDCAM_API void trelvohdcam_sys_defaults(trelvohdcam_sys* out);

/* Fills *out with the table in use. */
TRELVOHDCAM_API void trelvohdcam_sys_get(trelvohdcam_sys* out);

/* Uses *table from now on (copied; a NULL entry keeps the real call); NULL restores
 * the real system calls. */
TRELVOHDCAM_API void trelvohdcam_sys_set(const trelvohdcam_sys* table);

#ifdef __cplusplus
}
#endif

#endif /* TRELVOHDCAM_TESTING_H */
