// Uncompressed samples (NV12, YUY2, I420, RGB24, P010) to BGR24 pictures through libswscale.
#pragma once

#include <mfobjects.h>

#include <cstdint>

class PyVideoCapture;

// Bytes that libswscale may read past the end of a tightly packed source picture; a sample whose
// buffer ends closer than this is converted from a padded copy.
constexpr int64_t kSourceSlack = 256;

// Converts an uncompressed sample of the session's subtype and size and queues the picture. A
// subtype the scaler does not take prints "Unsupported format!"; a short sample is dropped.
void convert_uncompressed(PyVideoCapture& session, const uint8_t* data, uint32_t length, uint32_t max_length);

// Frees the scaler and its destination frame, and resets the scaler's keys.
void release_scaler(PyVideoCapture& session);

// The libavutil pixel format in which an uncompressed sample of this subtype arrives; -1 for a
// subtype the scaler does not take (Motion-JPEG included).
int32_t pixel_format_for_subtype(const GUID& subtype);

// Bytes of a tightly packed picture (alignment 1, chroma rounded up as libavutil does) of one of
// the uncompressed sample formats, in 64 bits; -1 for another format or a size not positive.
int64_t packed_picture_size(int32_t pixel_format, int32_t width, int32_t height);
