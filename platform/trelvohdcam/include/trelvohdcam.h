/* trelvohdcam: the virtual camera library.
 *
 * Three C calls, the same on every platform. A caller creates a camera of a
 * fixed size, frame rate and picture type, sends it pictures, and deletes it.
 *
 * Picture types:
 *   0  RGB24 in B,G,R byte order; width*height*3 bytes, stride width*3.
 *   1  YUY2 (Y0 U Y1 V); width*height*2 bytes, stride width*2.
 *   any other type is accepted; such a camera records frames but presents
 *   nothing.
 *
 * All calls are thread-safe. Handles are opaque; an unknown or already
 * deleted handle is rejected, never dereferenced.
 */
#ifndef TRELVOHDCAM_H
#define TRELVOHDCAM_H

#if defined(_WIN32) && defined(TRELVOHDCAM_BUILD)
#define TRELVOHDCAM_API __declspec(dllexport)
#elif defined(_WIN32)
#define TRELVOHDCAM_API __declspec(dllimport)
#else
#define TRELVOHDCAM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Picture type values accepted by scCreateCamera. */
#define TRELVOHDCAM_TYPE_RGB24 0
#define TRELVOHDCAM_TYPE_YUY2 1

/* Creates a camera. Returns a handle, or NULL when width/height are not
 * positive or the camera cannot be created: out of memory, or its channel
 * (trelvohdcam_channel.h) was refused (an object under the name that is not
 * the user's private file, or no room for the picture; one line on stderr
 * says which file and what to do). No call lets a C++ exception out. */
TRELVOHDCAM_API void* scCreateCamera(int width, int height, float fps, int type);

/* Presents one picture (its size follows from width, height and type).
 * Returns 0 when the picture was taken, -1 for a NULL or unknown handle or a
 * NULL picture. */
TRELVOHDCAM_API int scSendFrame(void* handle, const void* picture);

/* Deletes a camera. NULL and unknown handles are ignored. */
TRELVOHDCAM_API void scDeleteCamera(void* handle);

#ifdef __cplusplus
}
#endif

#endif /* TRELVOHDCAM_H */
