// What the converters share: the picture they write into, and the size checks and buffers of
// BGR24 pictures.
#pragma once

#include <cstdint>
#include <limits>

struct AVFrame;

// Where a converter writes one BGR24 picture of width x height: rows of stride bytes (at least
// width x 3), nothing beyond them.
struct PictureTarget {
    uint8_t* data = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
};

// The largest of libavutil's and libyuv's 32-bit sizes ((max)(): windows.h defines a max macro
// unless NOMINMAX is set).
constexpr int64_t kMaxInt32 = (std::numeric_limits<int32_t>::max)();

// The RGB24 picture's size in 64 bits, or -1 when the size is not positive or the byte count
// does not fit the 32-bit sizes that libavutil and libyuv take.
int64_t rgb24_picture_size(int32_t width, int32_t height);

// Gives a BGR24 frame of width x height a buffer of its own, laid out as libavutil lays out frames.
bool allocate_bgr24(AVFrame& frame, int32_t width, int32_t height);

// Copies the top-left target.width x target.height of a BGR24 frame into the target. libswscale
// writes into frames of its own, whose aligned rows and tail take its widest stores.
bool copy_into_target(const AVFrame& frame, const PictureTarget& target);
