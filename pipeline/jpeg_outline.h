// What a Motion-JPEG sample's own markers say about it, read without decoding it.
#pragma once

#include <cstddef>
#include <cstdint>

struct JpegOutline {
    // The first frame header (SOFn) before any scan; 0 x 0 when there is none.
    int32_t width = 0;
    int32_t height = 0;
    int32_t frame_headers = 0;   // every SOFn seen
    bool sizes_agree = true;     // every frame header declares the first one's size
    bool has_scan = false;       // a start of scan follows the frame header
    bool has_end = false;        // an end-of-image marker follows the first scan
    bool markers_certain = true; // the walk knows where the decoder looks for every marker
    bool progressive = false;
    // Progressive only: every coefficient of every component reached its last bit in some scan.
    bool progressive_complete = false;
};

// Walks the marker segments and the entropy-coded data between them (never reading past
// data + length), looking for markers where libavcodec's decoder looks for them, so that it sees
// every frame header the decoder would. Cheap: segments are skipped as far as the decoder skips
// them, scans with memchr.
JpegOutline outline_jpeg(const uint8_t* data, size_t length);
