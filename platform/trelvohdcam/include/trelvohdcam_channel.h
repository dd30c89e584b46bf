/* trelvohdcam shared-memory channel: layout and reader.
 *
 * A camera publishes its newest picture in a POSIX shared-memory object
 * (shm_open) private to the user: mode 0600, so only processes of the same
 * user (and root) can read it. The object's name is "/trelvohdcam-<uid>"
 * (the effective user id) unless the environment variable TRELVOHDCAM_CHANNEL
 * names another one (read when a camera is created; a name without a leading
 * '/' gets one). On Linux the object is visible as /dev/shm/<name without '/'>.
 *
 * A camera creates the object exclusively, or uses one already there only if
 * it is a regular file of the same user with mode 0600; anything else (another
 * user's object, a link, a FIFO, a wider mode) makes scCreateCamera fail with
 * one line on stderr naming the file. So does a file system without room for
 * the picture: the object's memory is reserved when a camera is created, so
 * that writing a picture never faults. A reader attaches only to a regular
 * file of its own user, and never blocks beyond its timeout.
 *
 * Layout, version 1 (native byte order, little-endian on all supported
 * targets; offsets in bytes):
 *
 *   0   u32 magic         TRELVOHDCAM_CHANNEL_MAGIC ("TVHC" read as bytes)
 *   4   u32 version       TRELVOHDCAM_CHANNEL_VERSION
 *   8   u32 header_size   offset of the picture (128)
 *   12  u32 state         0 = never opened, 1 = a camera is live, 2 = closed
 *   16  u64 generation    +1 each time a camera (re)writes the layout
 *   24  u64 sequence      seqlock: odd while a writer changes the layout
 *                         or the picture, even when both are consistent
 *   32  i32 width         pixels
 *   36  i32 height        rows
 *   40  i32 type          0 = BGR24 (stride width*3), 1 = YUY2 (width*2)
 *   44  f32 fps           frame rate given at creation
 *   48  u64 frame_size    bytes of the picture
 *   56  u64 frame_number  pictures written by the current camera (0 = none
 *                         yet; the picture bytes are meaningless then)
 *   64  u64 timestamp_ns  CLOCK_MONOTONIC time of the last write, in ns
 *   72  u64 owner         token of the writing camera (process id << 32 |
 *                         a per-process counter); a camera that finds
 *                         another token there has been taken over
 *   80  ...               reserved, zero
 *   128 picture           frame_size bytes
 *
 * The object only grows (it is never shrunk while mapped), so a reader's
 * mapping never reaches past its end. Writer and reader still check the size
 * before they touch the mapping (only the user can truncate the object, but
 * that must not kill a process): an object that shrank is treated as closed. A camera leaves the object in place
 * when it is deleted, with state 2 and its last picture; the next camera on
 * the same name rewrites the layout and continues the sequence.
 *
 * Reading without tearing: load sequence (acquire); if odd, retry. Copy the
 * fields and the picture with acquire loads (or plain loads and then an
 * acquire fence), load sequence again; if it changed, the copy may be torn:
 * retry. The writer makes sequence odd, stores the fields and the picture
 * with release stores, then stores sequence + 2 (release).
 */
#ifndef TRELVOHDCAM_CHANNEL_H
#define TRELVOHDCAM_CHANNEL_H

#include <stddef.h>
#include <stdint.h>

#include "trelvohdcam.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The default name is this prefix followed by the effective user id in decimal. */
#define TRELVOHDCAM_CHANNEL_PREFIX "/trelvohdcam-"
#define TRELVOHDCAM_CHANNEL_ENV "TRELVOHDCAM_CHANNEL"
#define TRELVOHDCAM_CHANNEL_MAGIC 0x43485654u /* bytes 'T','V','H','C' */
#define TRELVOHDCAM_CHANNEL_VERSION 1u
#define TRELVOHDCAM_CHANNEL_HEADER_SIZE 128u
#define TRELVOHDCAM_CHANNEL_LOOPBACK_SIZE 40u

#define TRELVOHDCAM_STATE_NEW 0u
#define TRELVOHDCAM_STATE_LIVE 1u
#define TRELVOHDCAM_STATE_CLOSED 2u

typedef struct trelvohdcam_channel_header {
    uint32_t magic;
    uint32_t version;
    uint32_t header_size;
    uint32_t state;
    uint64_t generation;
    uint64_t sequence;
    int32_t width;
    int32_t height;
    int32_t type;
    float fps;
    uint64_t frame_size;
    uint64_t frame_number;
    uint64_t timestamp_ns;
    uint64_t owner;
    char loopback[40];
    uint8_t reserved[8];
} trelvohdcam_channel_header;

/* Writes into `out` (capacity bytes) the channel name a camera created now
 * would use. Returns the name's length, or -1 if it does not fit or is not
 * a valid shared-memory name. */
TRELVOHDCAM_API int trelvohdcam_channel_name(char* out, size_t capacity);

/* ---- reader --------------------------------------------------------------- */

typedef struct trelvohdcam_reader trelvohdcam_reader;

typedef struct trelvohdcam_picture_info {
    int32_t width;
    int32_t height;
    int32_t type;
    float fps;
    uint64_t frame_size;   /* bytes of the picture */
    uint64_t sequence;     /* pass as `after` to wait for the next picture */
    uint64_t frame_number; /* 1 for the first picture of a camera */
    uint64_t timestamp_ns; /* CLOCK_MONOTONIC */
    uint64_t generation;
    uint32_t state;        /* TRELVOHDCAM_STATE_* when the picture was read */
} trelvohdcam_picture_info;

#define TRELVOHDCAM_READ_OK 0
#define TRELVOHDCAM_READ_TIMEOUT 1
#define TRELVOHDCAM_READ_ERROR (-1)     /* bad argument */
#define TRELVOHDCAM_READ_TOO_SMALL (-2) /* info->frame_size tells the need */

/* Opens a reader on a channel: `name` NULL means the name a camera would use
 * (see trelvohdcam_channel_name). The channel need not exist yet; waiting
 * attaches to it when it appears. An object under the name that is not a
 * regular file of this user is never attached (it reads as no channel).
 * Returns NULL for an invalid name. */
TRELVOHDCAM_API trelvohdcam_reader* trelvohdcam_reader_open(const char* name);

/* Waits up to timeout_ms (0: just look) for a picture whose sequence is
 * greater than `after` (0: any picture) and copies it into buffer
 * (capacity bytes). If the channel object was replaced by a new one since
 * the last call, `after` is not compared. Fills *info when it returns OK or
 * TOO_SMALL. */
TRELVOHDCAM_API int trelvohdcam_reader_wait(trelvohdcam_reader* reader, uint64_t after,
                                            int timeout_ms, void* buffer, size_t capacity,
                                            trelvohdcam_picture_info* info);

/* The channel's state now: TRELVOHDCAM_STATE_*; NEW also when the channel
 * does not exist (or is not this user's), CLOSED also when the object shrank
 * under the reader; -1 for a NULL reader. */
TRELVOHDCAM_API int trelvohdcam_reader_state(trelvohdcam_reader* reader);

/* Closes the reader, unmapping the channel. NULL is ignored. */
TRELVOHDCAM_API void trelvohdcam_reader_close(trelvohdcam_reader* reader);

#ifdef __cplusplus
}
#endif

#endif /* TRELVOHDCAM_CHANNEL_H */
