/* Observation and control points of the camera platform, for tests and tools (C linkage so that
 * Python's ctypes can reach them too). */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
#define MFCOMPAT_C_BEGIN extern "C" {
#define MFCOMPAT_C_END }
#else
#define MFCOMPAT_C_BEGIN
#define MFCOMPAT_C_END
#endif

#ifndef MFCOMPAT_API
#define MFCOMPAT_API __attribute__((visibility("default")))
#endif

MFCOMPAT_C_BEGIN

/* Number of MFStartup / MFShutdown calls since the library was loaded (or since the last reset). */
MFCOMPAT_API uint64_t mfcompat_startup_count(void);
MFCOMPAT_API uint64_t mfcompat_shutdown_count(void);
MFCOMPAT_API void mfcompat_reset_startup_counts(void);

/* COM objects of this library currently alive (created and not yet released to zero). */
MFCOMPAT_API int64_t mfcompat_live_objects(void);

/* Sleep(ms) really sleeps ms * scale milliseconds; 1.0 by default. A scale that is not a finite
 * number >= 0 is refused (returns -1); success returns 0. A scale of 0 makes Sleep only yield. */
MFCOMPAT_API int32_t mfcompat_set_clock_scale(double scale);
MFCOMPAT_API double mfcompat_clock_scale(void);
/* Sum of the milliseconds that Sleep was asked for (unscaled), and the number of Sleep calls. */
MFCOMPAT_API uint64_t mfcompat_sleep_requested_ms(void);
MFCOMPAT_API uint64_t mfcompat_sleep_calls(void);

MFCOMPAT_C_END
