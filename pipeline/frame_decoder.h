// Turns one camera sample into an RGB24 picture of the session's size and queues it.
#pragma once

#include "pipeline/mjpeg_decoder.h"
#include "pipeline/uncompressed_conversion.h"

#include <mfobjects.h>

#include <cstdint>
#include <limits>

struct AVFrame;
class PyVideoCapture;

// Converts and queues one sample of the active camera. The caller keeps its reference to sample.
void process_sample(PyVideoCapture& session, IMFSample* sample);

// Shared by the two converters: the largest of libavutil's and libyuv's 32-bit sizes ((max)():
// windows.h defines a max macro unless NOMINMAX is set).
constexpr int64_t kMaxInt32 = (std::numeric_limits<int32_t>::max)();

// The RGB24 picture's size in 64 bits, or -1 when the size is not positive or the byte count
// does not fit the 32-bit sizes that libavutil and libyuv take.
int64_t rgb24_picture_size(int32_t width, int32_t height);

// Gives a BGR24 frame of width x height a buffer of its own, laid out as libavutil lays out frames.
bool allocate_bgr24(AVFrame& frame, int32_t width, int32_t height);
