// Decoded Motion-JPEG pictures, of any layout the decoder produces, to BGR24.
#pragma once

#include "pipeline/bgr24_picture.h"
#include "pipeline/libav_owners.h"

#include <cstdint>

struct AVFrame;

// What the conversion keeps from one picture to the next.
struct MjpegConversion {
    // Converter for decoded layouts libyuv has no routine for, and the layout it was built for.
    SwsContextPtr sws_context;
    int32_t sws_format = -1;
    int32_t sws_full_range = -1;
    int32_t sws_matrix = -1;
    // libswscale's own BGR24 picture: whole chroma samples in both directions, aligned rows.
    AVFramePtr sws_picture;
    // A few ARGB rows between greyscale and BGR24.
    AVMemoryPtr argb_rows;
    int32_t argb_width = 0;

    void release();
};

// Converts a decoded picture of target.width x target.height into the target. 4:2:0, 4:2:2, 4:4:4
// and greyscale go through libyuv with the matrix of the picture's range and colour space, straight
// into the target; every other layout through libswscale, told the same. False when the layout
// cannot be converted.
bool convert_decoded_picture(MjpegConversion& conversion, const AVFrame& picture, const PictureTarget& target);
