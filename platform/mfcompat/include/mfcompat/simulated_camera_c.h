/* Simulated cameras through a C interface with plain types (for Python's ctypes). Strings are
 * UTF-16 code units with a length; a length of -1 means the string is absent. GUIDs are 16 bytes
 * in their in-memory layout (first three fields little-endian). Calls return 0 on success,
 * MFCOMPAT_SIM_NO_CAMERA for an unknown camera and MFCOMPAT_SIM_BAD_ARGUMENT for bad input. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifndef MFCOMPAT_API
#define MFCOMPAT_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MFCOMPAT_SIM_NO_CAMERA (-1)
#define MFCOMPAT_SIM_BAD_ARGUMENT (-2)

/* Flags of mfcompat_sim_add_camera. */
#define MFCOMPAT_SIM_PACED 0x1
#define MFCOMPAT_SIM_ACCEPT_ANY_FORMAT 0x2

/* Frame sources (mfcompat_sim_set_source). */
#define MFCOMPAT_SIM_MOVING_PATTERN 0
#define MFCOMPAT_SIM_SOLID_COLOUR 1

/* Read outcomes of a script step. */
#define MFCOMPAT_SIM_READ_NORMAL 0
#define MFCOMPAT_SIM_READ_ERROR 1
#define MFCOMPAT_SIM_READ_END_OF_STREAM 2
#define MFCOMPAT_SIM_READ_STREAM_TICK 3
#define MFCOMPAT_SIM_READ_NO_SAMPLE 4
#define MFCOMPAT_SIM_READ_TRUNCATED 5
#define MFCOMPAT_SIM_READ_BLOCK 6
#define MFCOMPAT_SIM_READ_UNPLUG 7

/* Faults (mfcompat_sim_set_fault). */
#define MFCOMPAT_SIM_FAULT_ACTIVATE 0
#define MFCOMPAT_SIM_FAULT_PRESENTATION_DESCRIPTOR 1
#define MFCOMPAT_SIM_FAULT_CREATE_READER 2
#define MFCOMPAT_SIM_FAULT_SET_MEDIA_TYPE 3

typedef struct mfcompat_sim_format {
    uint8_t subtype[16];
    int32_t has_subtype;
    int32_t has_frame_size;
    int32_t has_frame_rate;
    uint32_t width;
    uint32_t height;
    uint32_t rate_numerator;
    uint32_t rate_denominator;
} mfcompat_sim_format;

typedef struct mfcompat_sim_counters {
    uint64_t activations;
    uint64_t presentation_descriptors;
    uint64_t readers_created;
    uint64_t set_type_calls;
    uint64_t reads;
    uint64_t samples_delivered;
    uint64_t flushes;
    uint64_t shutdowns;
} mfcompat_sim_counters;

typedef struct mfcompat_sim_requested {
    int32_t valid;
    uint8_t subtype[16];
    uint32_t width;
    uint32_t height;
    uint32_t rate_numerator;
    uint32_t rate_denominator;
} mfcompat_sim_requested;

/* Returns the new camera's id (> 0) or a negative error. The camera shows the moving pattern
 * until another source is set. */
MFCOMPAT_API int32_t mfcompat_sim_add_camera(const uint16_t* name, int32_t name_length, const uint16_t* link,
                                            int32_t link_length, const mfcompat_sim_format* formats,
                                            int32_t format_count, uint32_t flags);
MFCOMPAT_API int32_t mfcompat_sim_remove_camera(int32_t id);
MFCOMPAT_API void mfcompat_sim_remove_all(void);
MFCOMPAT_API int32_t mfcompat_sim_camera_count(void);

MFCOMPAT_API int32_t mfcompat_sim_set_source(int32_t id, int32_t source, uint8_t blue, uint8_t green, uint8_t red);
/* Frames served in a loop: `count` frames, frame i at frames[i] with sizes[i] bytes (copied). */
MFCOMPAT_API int32_t mfcompat_sim_set_frames(int32_t id, const uint8_t* const* frames, const size_t* sizes,
                                            int32_t count);
MFCOMPAT_API int32_t mfcompat_sim_set_paced(int32_t id, int32_t paced);
MFCOMPAT_API int32_t mfcompat_sim_set_accept_any_format(int32_t id, int32_t accept);
/* An HRESULT of 0 clears the fault. */
MFCOMPAT_API int32_t mfcompat_sim_set_fault(int32_t id, int32_t fault, int32_t hr);
/* The fault begins once `after` calls of the step have succeeded (see mfcompat::sim::set_fault). */
MFCOMPAT_API int32_t mfcompat_sim_set_fault_after(int32_t id, int32_t fault, int32_t hr, uint64_t after);
/* hrs[i]: the outcome of the i-th next SetCurrentMediaType call; 0 lets it go on as usual, a
 * failure refuses it with that HRESULT. */
MFCOMPAT_API int32_t mfcompat_sim_set_media_type_script(int32_t id, const int32_t* hrs, int32_t count, int32_t repeat);
/* outcomes[i] is an MFCOMPAT_SIM_READ_* value; hrs[i] its HRESULT for READ_ERROR (hrs may be NULL:
 * E_FAIL). */
MFCOMPAT_API int32_t mfcompat_sim_set_script(int32_t id, const int32_t* outcomes, const int32_t* hrs, int32_t count,
                                            int32_t repeat);
MFCOMPAT_API int32_t mfcompat_sim_unplug(int32_t id);
MFCOMPAT_API int32_t mfcompat_sim_replug(int32_t id);

MFCOMPAT_API int32_t mfcompat_sim_get_counters(int32_t id, mfcompat_sim_counters* counters);
MFCOMPAT_API int32_t mfcompat_sim_get_last_requested(int32_t id, mfcompat_sim_requested* requested);

/* See mfcompat::sim::decode_frame_code. */
MFCOMPAT_API int64_t mfcompat_sim_decode_frame_code(const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                                                   size_t stride, uint32_t pixel_bytes, uint32_t byte_offset);

#ifdef __cplusplus
}
#endif
