// Uncompressed samples (NV12, YUY2, I420, RGB24, P010) to BGR24 pictures through libswscale.
#pragma once

#include "pipeline/bgr24_picture.h"
#include "pipeline/libav_owners.h"

#include <mfobjects.h>

#include <cstdint>

// Bytes that libswscale may read past the end of a tightly packed source picture; a sample whose
// buffer ends closer than this is converted from a padded copy.
constexpr int64_t kSourceSlack = 256;

// The scaler cache of uncompressed samples, rebuilt when the sample's layout or size changes.
struct RawConverter {
    RawConverter() = default;
    RawConverter(const RawConverter&) = delete;
    RawConverter& operator=(const RawConverter&) = delete;
    ~RawConverter() { release(); }

    AVFramePtr src_frame;
    // libswscale's own BGR24 picture, with the aligned rows and tail its widest stores need.
    AVFramePtr dst_frame;
    SwsContextPtr sws_context;
    int32_t last_pixel_format = -1;
    int32_t last_width = 0;
    int32_t last_height = 0;
    // A padded copy of the sample when its buffer ends too close to the picture's last byte.
    uint8_t* sample_copy = nullptr;
    int64_t sample_copy_size = 0;

    // Frees the scaler, its destination frame and the sample copy, and resets the scaler's keys.
    void release();
};

// Converts an uncompressed sample of the subtype and of target.width x target.height into the
// target. A subtype the scaler does not take prints "Unsupported format!"; a short sample is
// dropped. False when nothing was written.
bool convert_uncompressed(RawConverter& converter, const GUID& subtype, const uint8_t* data, uint32_t length,
                          uint32_t max_length, const PictureTarget& target);

// The libavutil pixel format in which an uncompressed sample of this subtype arrives; -1 for a
// subtype the scaler does not take (Motion-JPEG included).
int32_t pixel_format_for_subtype(const GUID& subtype);

// Bytes of a tightly packed picture (alignment 1, chroma rounded up as libavutil does) of one of
// the uncompressed sample formats, in 64 bits; -1 for another format or a size not positive.
int64_t packed_picture_size(int32_t pixel_format, int32_t width, int32_t height);
