// The video subtypes the system knows by name, one row each, with what each of its users needs:
// the name Python gives and sees (devices/), the Media Foundation subtype, the V4L2 pixel formats
// that deliver it (the platform's V4L2 cameras) and the libavutil layout in which an uncompressed
// sample arrives (pipeline/). The Python command line keeps the same names in trelvo_tools.
#pragma once

#include <mfapi.h>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <cstdint>

// A V4L2 pixel format code, as videodev2.h's v4l2_fourcc builds it.
constexpr uint32_t v4l2_fourcc_code(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

struct SubtypeRow {
    const OLECHAR* name;
    GUID subtype;
    // The V4L2 pixel formats that deliver this subtype, the usual one first; 0 fills the rest.
    uint32_t v4l2_formats[2];
    // The layout of an uncompressed sample for the scaler; AV_PIX_FMT_NONE for Motion-JPEG,
    // which is decoded instead.
    AVPixelFormat av_pixel_format;
};

inline const SubtypeRow kSubtypeTable[] = {
    {OLESTR("MJPEG"), MFVideoFormat_MJPG, {v4l2_fourcc_code('M', 'J', 'P', 'G'), v4l2_fourcc_code('J', 'P', 'E', 'G')},
     AV_PIX_FMT_NONE},
    {OLESTR("NV12"), MFVideoFormat_NV12, {v4l2_fourcc_code('N', 'V', '1', '2'), 0}, AV_PIX_FMT_NV12},
    {OLESTR("YUY2"), MFVideoFormat_YUY2, {v4l2_fourcc_code('Y', 'U', 'Y', 'V'), 0}, AV_PIX_FMT_YUYV422},
    {OLESTR("I420"), MFVideoFormat_I420, {v4l2_fourcc_code('Y', 'U', '1', '2'), 0}, AV_PIX_FMT_YUV420P},
    {OLESTR("RGB24"), MFVideoFormat_RGB24, {v4l2_fourcc_code('B', 'G', 'R', '3'), 0}, AV_PIX_FMT_BGR24},
    {OLESTR("P10"), MFVideoFormat_P010, {v4l2_fourcc_code('P', '0', '1', '0'), 0}, AV_PIX_FMT_P010LE},
};

// The row of a subtype (all 128 bits compared), or null.
inline const SubtypeRow* find_subtype(const GUID& subtype) {
    for (const SubtypeRow& row : kSubtypeTable) {
        if (IsEqualGUID(row.subtype, subtype)) return &row;
    }
    return nullptr;
}

// The row of a V4L2 pixel format, or null.
inline const SubtypeRow* find_v4l2_format(uint32_t pixel_format) {
    if (pixel_format == 0) return nullptr;
    for (const SubtypeRow& row : kSubtypeTable) {
        for (uint32_t listed : row.v4l2_formats) {
            if (listed == pixel_format) return &row;
        }
    }
    return nullptr;
}
