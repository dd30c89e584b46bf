/* trelvohdcam recording: what callers did, for tests.
 *
 * Counters are always kept (a few integer updates per call). The copy of
 * the last picture costs a memcpy per frame, so it is only made after
 * trelvohdcam_record_keep_frames(1). All functions are thread-safe.
 */
#ifndef TRELVOHDCAM_RECORD_H
#define TRELVOHDCAM_RECORD_H

#include <stddef.h>
#include <stdint.h>

#include "trelvohdcam.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct trelvohdcam_record_counts {
    uint64_t cameras_created; /* scCreateCamera calls that returned a handle */
    uint64_t create_failures; /* scCreateCamera calls that returned NULL */
    uint64_t cameras_deleted; /* scDeleteCamera calls on a live handle */
    uint64_t delete_failures; /* scDeleteCamera calls on NULL/unknown handles */
    uint64_t frames_sent;     /* scSendFrame calls that returned 0 */
    uint64_t send_failures;   /* scSendFrame calls that returned -1 */
    uint64_t live_cameras;
    int32_t last_width;       /* arguments of the last scCreateCamera call */
    int32_t last_height;
    float last_fps;
    int32_t last_type;
    void* last_handle;        /* its result */
} trelvohdcam_record_counts;

/* Copies the counters. NULL is ignored. */
TRELVOHDCAM_API void trelvohdcam_record_get(trelvohdcam_record_counts* out);

/* Frames taken by scSendFrame for `handle` since the last reset (deleted
 * handles keep their count; handles are never reused). */
TRELVOHDCAM_API uint64_t trelvohdcam_record_frames_for(void* handle);

/* Turns the copy of the last picture on (non-zero) or off. Off at start;
 * reset does not change it. */
TRELVOHDCAM_API void trelvohdcam_record_keep_frames(int enabled);

/* The last picture taken while keeping frames: copies up to `capacity` bytes
 * into `out` (may be NULL to ask the size) and returns the picture's full
 * size (0 if none; types other than 0 and 1 have size 0). *handle, if not
 * NULL, receives the handle it was sent to. */
TRELVOHDCAM_API size_t trelvohdcam_record_last_frame(void* out, size_t capacity, void** handle);

/* Copies up to `capacity` live handles (in creation order) into `out` (may
 * be NULL) and returns how many are live. */
TRELVOHDCAM_API size_t trelvohdcam_record_live_handles(void** out, size_t capacity);

/* Zeroes the counters and forgets the last picture and per-handle counts.
 * Live cameras stay live (and still count in live_cameras). */
TRELVOHDCAM_API void trelvohdcam_record_reset(void);

#ifdef __cplusplus
}
#endif

#endif /* TRELVOHDCAM_RECORD_H */
