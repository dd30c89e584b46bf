#include "pipeline/bgr24_picture.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <cstddef>
#include <cstring>

namespace {

// Row alignment of the BGR24 pictures that libswscale writes: what libavutil gives its own frames
// on every CPU it supports, so the widest vector stores stay inside the buffer.
constexpr int kPictureAlign = 64;

}  // namespace

int64_t rgb24_picture_size(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        return -1;
    }
    const int64_t bytes = static_cast<int64_t>(width) * height * 3;
    return bytes <= kMaxInt32 ? bytes : -1;
}

bool allocate_bgr24(AVFrame& frame, int32_t width, int32_t height) {
    frame.format = AV_PIX_FMT_BGR24;
    frame.width = width;
    frame.height = height;
    return av_frame_get_buffer(&frame, kPictureAlign) >= 0;
}

bool copy_into_target(const AVFrame& frame, const PictureTarget& target) {
    if (frame.data[0] == nullptr || target.data == nullptr || frame.width < target.width ||
        frame.height < target.height || target.width <= 0 || target.height <= 0 ||
        static_cast<int64_t>(target.stride) < static_cast<int64_t>(target.width) * 3) {
        return false;
    }
    const size_t row_bytes = static_cast<size_t>(target.width) * 3;
    for (int32_t row = 0; row < target.height; ++row) {
        std::memcpy(target.data + static_cast<ptrdiff_t>(row) * target.stride,
                    frame.data[0] + static_cast<ptrdiff_t>(row) * frame.linesize[0], row_bytes);
    }
    return true;
}
