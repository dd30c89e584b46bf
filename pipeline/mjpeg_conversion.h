// Decoded Motion-JPEG pictures, of any layout the decoder produces, to BGR24.
#pragma once

#include <cstdint>

struct AVFrame;
struct MjpegDecoder;

// Converts a decoded picture of width x height into decoder.output_frame. 4:2:0, 4:2:2, 4:4:4 and
// greyscale go through libyuv with the matrix of the picture's range and colour space; every other
// layout through libswscale, told the same. False when the layout cannot be converted.
bool convert_decoded_picture(MjpegDecoder& decoder, const AVFrame& picture, int32_t width, int32_t height);
