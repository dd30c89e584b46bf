// The thread that takes pictures from the queue and feeds the virtual camera.
#pragma once

#include "pipeline/frame_queue.h"

#include <cstddef>
#include <cstdint>

class PyVideoCapture;

// Runs until the session's running flag is clear; returns 0.
int output_loop(PyVideoCapture& session);

// RGB24 source to a malloc'ed YUY2 result (stride width x 2). 0 on success, -1 on failure, when
// nothing is left allocated.
int convert_to_yuy2(const QueuedFrame& source, QueuedFrame& result);

// RGB24 to YUY2 (RGB24 to I420 to YUY2, with libyuv) a few rows at a time, with working memory
// kept from one picture to the next: one strip of I420 rows and the YUY2 picture, allocated once
// per picture size, living as long as the converter.
class Yuy2Converter {
public:
    Yuy2Converter() = default;
    Yuy2Converter(const Yuy2Converter&) = delete;
    Yuy2Converter& operator=(const Yuy2Converter&) = delete;
    ~Yuy2Converter();

    // 0 and result describing the converter's own YUY2 picture (stride width x 2, valid until the
    // next call; not to be freed), or -1 with result untouched.
    int convert(const QueuedFrame& source, QueuedFrame& result);

private:
    friend int convert_to_yuy2(const QueuedFrame& source, QueuedFrame& result);
    void release();

    uint8_t* strip_ = nullptr;
    uint8_t* yuy2_ = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
};
