// The replay driver's description of recorded V4L2 devices: what each node answers (capabilities,
// listed formats, sizes and intervals), what its streams deliver (recorded frames) and how it
// misbehaves (quirks), read from JSON files by one entry point.
#pragma once

#include <linux/videodev2.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace mfcompat {
namespace replay {

struct SizeEntry {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<v4l2_fract> intervals;
};

struct FormatDesc {
    uint32_t fourcc = 0;
    std::string description;
    uint32_t size_type = V4L2_FRMSIZE_TYPE_DISCRETE;
    std::vector<SizeEntry> sizes;      // discrete sizes
    v4l2_frmsize_stepwise range{};     // stepwise or continuous sizes
    std::vector<v4l2_fract> intervals;  // for every size of a range
    bool has_interval_range = false;
    uint32_t interval_range_type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
    v4l2_frmival_stepwise interval_range{};
};

struct Recording {
    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<std::vector<uint8_t>> frames;
};

struct Quirks {
    uint32_t error_every = 0;       // every Nth frame comes flagged V4L2_BUF_FLAG_ERROR
    uint32_t empty_every = 0;       // every Nth frame comes with bytesused 0
    uint32_t zero_padding = 0;      // zero bytes after each frame, counted in bytesused
    bool zero_first_frame = false;  // the first frame of each stream is all zeros, full length
    uint32_t lost_after = 0;        // after this many frames are read the device fails, once ...
    int lost_errno = ENODEV;        // ... unplugged (ENODEV) or with its queue in error (EIO)
    int replug_after_ms = -1;       // an unplugged device comes back after this long
};

struct NodeDesc {
    std::string path;
    std::vector<std::string> links;
    std::string driver = "uvcvideo";
    std::string card;
    std::string bus_info;
    uint32_t version = 0;
    uint32_t capabilities = 0;
    uint32_t device_caps = 0;
    bool timeperframe = true;
    std::vector<FormatDesc> formats;
    std::vector<uint32_t> meta_formats;
    std::vector<Recording> recordings;
    Quirks quirks;
};

// Why a description cannot be read: one line naming the file, and the line in it for a JSON
// syntax error.
struct LoadError {
    std::string what;
};

// The nodes of a description file, or of the *.json files of a folder in name order (a later
// file's node that takes an earlier one's path moves to the next free number). Throws LoadError,
// or std::bad_alloc.
std::vector<NodeDesc> load_description(const std::string& path);

// A picture's bytes and row length in a format, as the driver sizes its buffers: compressed
// formats as large as a raw 4:2:2 picture (at least 64 KiB), with no row length.
uint32_t frame_bytes(uint32_t fourcc, uint32_t width, uint32_t height);
uint32_t bytes_per_line(uint32_t fourcc, uint32_t width);
bool is_compressed(uint32_t fourcc);

}  // namespace replay
}  // namespace mfcompat
