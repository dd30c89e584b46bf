// The replay driver: device nodes read from a JSON description, answering every call of the
// backend's system-call table as a V4L2 driver would, with frames delivered in real time at the
// interval the stream was set to.
#include "v4l2/v4l2_replay.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "subtype_table.h"
#include "sim/pattern.h"
#include "v4l2/driver_buffers.h"
#include "v4l2/replay_json.h"
#include "v4l2/v4l2_internal.h"
#include "v4l2/v4l2_testing.h"

namespace mfcompat {
namespace replay {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxBuffers = 32;
// Generated pictures cycle through this many frames, fewer for large pictures.
constexpr size_t kCycleFrames = 8;
constexpr size_t kCycleBytes = 16u << 20;

// Bounds on what a description may make the driver read or allocate.
constexpr size_t kMaxDescriptionBytes = size_t(4) << 20;
constexpr size_t kMaxFramesFileBytes = size_t(64) << 20;
constexpr uint32_t kMaxSide = 16384;
constexpr uint64_t kMaxPictureBytes = uint64_t(256) << 20;  // of the relay's 3-byte-per-pixel picture
constexpr size_t kMaxRecordedFrames = 4096;

// ---- the description -----------------------------------------------------------------------

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

// ---- reading the description ---------------------------------------------------------------

struct LoadError {
    std::string what;
};

[[noreturn]] void fail_load(const std::string& what) { throw LoadError{what}; }

const json::Value& member(const json::Value& obj, const char* key) {
    const json::Value* v = obj.find(key);
    if (!v) fail_load(std::string("missing \"") + key + "\"");
    return *v;
}

std::string text_of(const json::Value& v, const char* what) {
    if (!v.is_string()) fail_load(std::string(what) + " must be a string");
    return v.string();
}

std::string optional_text(const json::Value& obj, const char* key, const std::string& fallback) {
    const json::Value* v = obj.find(key);
    return v ? text_of(*v, key) : fallback;
}

uint32_t parse_u32(const std::string& s, const char* what) {
    if (s.empty()) fail_load(std::string("empty ") + what);
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno || *end != '\0' || v > 0xFFFFFFFFull || s[0] == '-') fail_load(std::string("bad ") + what + ": " + s);
    return uint32_t(v);
}

uint32_t u32_of(const json::Value& v, const char* what) {
    if (v.is_string()) return parse_u32(v.string(), what);
    if (!v.is_number() || v.number() < 0 || v.number() > 4294967295.0 || v.number() != double(uint64_t(v.number())))
        fail_load(std::string(what) + " must be a whole number");
    return uint32_t(v.number());
}

uint32_t optional_u32(const json::Value& obj, const char* key, uint32_t fallback) {
    const json::Value* v = obj.find(key);
    return v ? u32_of(*v, key) : fallback;
}

uint32_t fourcc_of(const std::string& s) {
    if (s.empty() || s.size() > 4) fail_load("a FourCC has one to four characters: \"" + s + "\"");
    char c[4] = {' ', ' ', ' ', ' '};
    std::memcpy(c, s.data(), s.size());
    return v4l2_fourcc(c[0], c[1], c[2], c[3]);
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// "640x480"
void parse_size(const std::string& s, uint32_t* w, uint32_t* h) {
    size_t x = s.find('x');
    if (x == std::string::npos) fail_load("a size is WIDTHxHEIGHT: \"" + s + "\"");
    *w = parse_u32(s.substr(0, x), "width");
    *h = parse_u32(s.substr(x + 1), "height");
}

// Sizes beyond what any camera delivers would only make the driver allocate without bound.
void check_size(uint32_t width, uint32_t height) {
    if (width > kMaxSide || height > kMaxSide || uint64_t(width) * height * 3 > kMaxPictureBytes)
        fail_load("the size " + std::to_string(width) + "x" + std::to_string(height) +
                  " is larger than supported (at most " + std::to_string(kMaxSide) +
                  " either way and 256 MiB a picture)");
}

// "1/30" is a frame interval in seconds.
v4l2_fract parse_fract(const std::string& s) {
    size_t slash = s.find('/');
    if (slash == std::string::npos) fail_load("an interval is N/D seconds: \"" + s + "\"");
    v4l2_fract f{parse_u32(s.substr(0, slash), "interval"), parse_u32(s.substr(slash + 1), "interval")};
    return f;
}

std::vector<v4l2_fract> parse_intervals(const std::string& s) {
    std::vector<v4l2_fract> out;
    for (const std::string& w : words(s)) out.push_back(parse_fract(w));
    return out;
}

// "32x32 - 2592x1944 step 2x2" (stepwise) or "1x1 - 1920x1080" (continuous).
v4l2_frmsize_stepwise parse_size_range(const std::string& s, bool stepwise) {
    std::vector<std::string> w = words(s);
    bool ok = stepwise ? (w.size() == 5 && w[1] == "-" && w[3] == "step") : (w.size() == 3 && w[1] == "-");
    if (!ok) fail_load("a size range is \"MINxMIN - MAXxMAX" + std::string(stepwise ? " step WxH" : "") + "\": \"" + s + "\"");
    v4l2_frmsize_stepwise r{};
    parse_size(w[0], &r.min_width, &r.min_height);
    parse_size(w[2], &r.max_width, &r.max_height);
    check_size(r.min_width, r.min_height);
    check_size(r.max_width, r.max_height);
    r.step_width = r.step_height = 1;
    if (stepwise) parse_size(w[4], &r.step_width, &r.step_height);
    return r;
}

// "1/60 - 1/1" (continuous) or "1/60 - 1/1 step 1/60" (stepwise).
void parse_interval_range(const std::string& s, FormatDesc* f) {
    std::vector<std::string> w = words(s);
    if (!((w.size() == 3 && w[1] == "-") || (w.size() == 5 && w[1] == "-" && w[3] == "step")))
        fail_load("an interval range is \"MIN - MAX [step STEP]\": \"" + s + "\"");
    f->has_interval_range = true;
    f->interval_range.min = parse_fract(w[0]);
    f->interval_range.max = parse_fract(w[2]);
    if (w.size() == 5) {
        f->interval_range_type = V4L2_FRMIVAL_TYPE_STEPWISE;
        f->interval_range.step = parse_fract(w[4]);
    } else {
        f->interval_range_type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
        f->interval_range.step = {1, 1};
    }
}

int errno_of(const std::string& s) {
    if (s == "ENODEV") return ENODEV;
    if (s == "EIO") return EIO;
    fail_load("lost_errno is \"ENODEV\" or \"EIO\": \"" + s + "\"");
}

struct FileCloser {
    int fd;
    ~FileCloser() { ::close(fd); }
};

// A regular file of at most `limit` bytes. Opened without blocking, so that a FIFO or a device
// named here is refused instead of read forever.
std::string read_whole_file(const std::string& path, size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) fail_load("cannot read " + path + ": " + std::strerror(errno));
    FileCloser closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) fail_load("cannot read " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) fail_load(path + " is not a regular file");
    const std::string too_large =
        path + " is larger than " + std::to_string(limit >> 20) + " MiB; use a smaller file";
    if (uint64_t(st.st_size) > limit) fail_load(too_large);
    std::string bytes(size_t(st.st_size), '\0');
    size_t got = 0;
    // Reads one byte past the size seen, so that a file still growing is noticed.
    for (;;) {
        if (got == bytes.size()) {
            if (bytes.size() >= limit + 1) fail_load(too_large);
            bytes.resize(std::min(limit + 1, bytes.size() + 4096));
        }
        const ssize_t n = ::read(fd, &bytes[got], bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail_load("cannot read " + path + ": " + std::strerror(errno));
        if (n == 0) break;
        got += size_t(n);
    }
    if (got > limit) fail_load(too_large);
    bytes.resize(got);
    return bytes;
}

// Splits concatenated JPEG pictures at each end-of-image marker. Bytes between pictures that do
// not start with a start-of-image marker are no picture and are skipped, so that a file of end
// markers costs nothing.
std::vector<std::vector<uint8_t>> split_jpegs(const std::string& bytes, const std::string& file) {
    std::vector<std::vector<uint8_t>> frames;
    size_t start = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (uint8_t(bytes[i]) == 0xFF && uint8_t(bytes[i + 1]) == 0xD9) {
            const bool picture = i >= start + 2 && uint8_t(bytes[start]) == 0xFF && uint8_t(bytes[start + 1]) == 0xD8;
            if (picture) {
                if (frames.size() == kMaxRecordedFrames)
                    fail_load("more than " + std::to_string(kMaxRecordedFrames) + " pictures in " + file);
                frames.emplace_back(bytes.begin() + long(start), bytes.begin() + long(i + 2));
            }
            start = i + 2;
            ++i;
        }
    }
    return frames;
}


uint32_t frame_bytes(uint32_t fourcc, uint32_t w, uint32_t h) {
    const uint64_t px = uint64_t(w) * h;
    uint64_t n;
    switch (fourcc) {
        case V4L2_PIX_FMT_NV12:
        case V4L2_PIX_FMT_YUV420:
        case V4L2_PIX_FMT_YVU420:
        case V4L2_PIX_FMT_NV21:
            n = px + 2 * ((uint64_t(w) + 1) / 2) * ((uint64_t(h) + 1) / 2);
            break;
        case V4L2_PIX_FMT_BGR24:
        case V4L2_PIX_FMT_RGB24:
            n = px * 3;
            break;
        case V4L2_PIX_FMT_P010:
            n = (px + 2 * ((uint64_t(w) + 1) / 2) * ((uint64_t(h) + 1) / 2)) * 2;
            break;
        case V4L2_PIX_FMT_GREY:
            n = px;
            break;
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_JPEG:
        case V4L2_PIX_FMT_H264:
            // As large as a raw 4:2:2 picture, and never too small for a tiny picture's headers.
            n = std::max<uint64_t>(px * 2, 64 * 1024);
            break;
        default:  // YUYV and the like
            n = px * 2;
    }
    return n > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(n);
}

uint32_t bytes_per_line(uint32_t fourcc, uint32_t w) {
    switch (fourcc) {
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_JPEG:
        case V4L2_PIX_FMT_H264:
            return 0;
        case V4L2_PIX_FMT_NV12:
        case V4L2_PIX_FMT_YUV420:
        case V4L2_PIX_FMT_YVU420:
        case V4L2_PIX_FMT_NV21:
        case V4L2_PIX_FMT_GREY:
            return w;
        case V4L2_PIX_FMT_BGR24:
        case V4L2_PIX_FMT_RGB24:
            return w * 3;
        case V4L2_PIX_FMT_P010:
            return w * 2;
        default:
            return w * 2;
    }
}

bool is_compressed(uint32_t fourcc) {
    return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG || fourcc == V4L2_PIX_FMT_H264;
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

Recording parse_recording(const json::Value& v, const std::string& base_dir) {
    Recording r;
    r.fourcc = fourcc_of(text_of(member(v, "fourcc"), "fourcc"));
    parse_size(text_of(member(v, "size"), "size"), &r.width, &r.height);
    check_size(r.width, r.height);
    std::string file = text_of(member(v, "file"), "file");
    if (file.empty()) fail_load("empty frame file name");
    std::string bytes = read_whole_file(file[0] == '/' ? file : base_dir + "/" + file, kMaxFramesFileBytes);
    if (r.fourcc == V4L2_PIX_FMT_MJPEG || r.fourcc == V4L2_PIX_FMT_JPEG) {
        r.frames = split_jpegs(bytes, file);
    } else {
        size_t n = frame_bytes(r.fourcc, r.width, r.height);
        if (n && bytes.size() / n > kMaxRecordedFrames)
            fail_load("more than " + std::to_string(kMaxRecordedFrames) + " pictures in " + file);
        for (size_t at = 0; n && at + n <= bytes.size(); at += n)
            r.frames.emplace_back(bytes.begin() + long(at), bytes.begin() + long(at + n));
    }
    if (r.frames.empty()) fail_load("no whole frame in " + file);
    return r;
}

FormatDesc parse_format(const json::Value& v) {
    if (!v.is_object()) fail_load("a format is an object");
    FormatDesc f;
    std::string fourcc = text_of(member(v, "fourcc"), "fourcc");
    f.fourcc = fourcc_of(fourcc);
    f.description = optional_text(v, "description", fourcc);
    if (const json::Value* sizes = v.find("sizes")) {
        if (!sizes->is_array()) fail_load("\"sizes\" is a list");
        for (const json::Value& s : sizes->array()) {
            // "640x480: 1/30 1/15", or a size alone when the driver lists no intervals for it.
            std::string text = text_of(s, "a size");
            size_t colon = text.find(':');
            SizeEntry e;
            std::vector<std::string> size_word = words(text.substr(0, colon));
            if (size_word.size() != 1) fail_load("a size entry is \"WxH: intervals\": \"" + text + "\"");
            parse_size(size_word[0], &e.width, &e.height);
            check_size(e.width, e.height);
            if (colon != std::string::npos) e.intervals = parse_intervals(text.substr(colon + 1));
            f.sizes.push_back(std::move(e));
        }
    } else if (const json::Value* r = v.find("stepwise")) {
        f.size_type = V4L2_FRMSIZE_TYPE_STEPWISE;
        f.range = parse_size_range(text_of(*r, "stepwise"), true);
    } else if (const json::Value* r = v.find("continuous")) {
        f.size_type = V4L2_FRMSIZE_TYPE_CONTINUOUS;
        f.range = parse_size_range(text_of(*r, "continuous"), false);
    }
    if (const json::Value* i = v.find("intervals")) f.intervals = parse_intervals(text_of(*i, "intervals"));
    if (const json::Value* i = v.find("interval_range")) parse_interval_range(text_of(*i, "interval_range"), &f);
    return f;
}

NodeDesc parse_node(const json::Value& v, const std::string& base_dir) {
    if (!v.is_object()) fail_load("a node is an object");
    NodeDesc n;
    n.path = text_of(member(v, "path"), "path");
    if (const json::Value* links = v.find("links")) {
        if (!links->is_array()) fail_load("\"links\" is a list");
        for (const json::Value& l : links->array()) n.links.push_back(text_of(l, "a link"));
    }
    n.driver = optional_text(v, "driver", n.driver);
    n.card = text_of(member(v, "card"), "card");
    n.bus_info = optional_text(v, "bus_info", "");
    std::string version = optional_text(v, "version", "");
    if (!version.empty()) {
        unsigned a = 0, b = 0, c = 0;
        if (std::sscanf(version.c_str(), "%u.%u.%u", &a, &b, &c) < 2) fail_load("version is \"A.B.C\"");
        n.version = (a << 16) | ((b & 0xFF) << 8) | (c & 0xFF);
    }
    n.capabilities = u32_of(member(v, "capabilities"), "capabilities");
    n.device_caps = optional_u32(v, "device_caps", 0);
    if (const json::Value* t = v.find("timeperframe")) {
        if (!t->is_bool()) fail_load("\"timeperframe\" is true or false");
        n.timeperframe = t->boolean();
    }
    if (const json::Value* formats = v.find("formats")) {
        if (!formats->is_array()) fail_load("\"formats\" is a list");
        for (const json::Value& f : formats->array()) n.formats.push_back(parse_format(f));
    }
    if (const json::Value* meta = v.find("meta_formats")) {
        if (!meta->is_array()) fail_load("\"meta_formats\" is a list");
        for (const json::Value& m : meta->array()) n.meta_formats.push_back(fourcc_of(text_of(m, "a meta format")));
    }
    if (const json::Value* frames = v.find("frames")) {
        if (!frames->is_array()) fail_load("\"frames\" is a list");
        for (const json::Value& f : frames->array()) n.recordings.push_back(parse_recording(f, base_dir));
    }
    if (const json::Value* q = v.find("quirks")) {
        if (!q->is_object()) fail_load("\"quirks\" is an object");
        n.quirks.error_every = optional_u32(*q, "error_every", 0);
        n.quirks.empty_every = optional_u32(*q, "empty_every", 0);
        n.quirks.zero_padding = optional_u32(*q, "zero_padding", 0);
        if (const json::Value* z = q->find("zero_first_frame")) n.quirks.zero_first_frame = z->is_bool() && z->boolean();
        n.quirks.lost_after = optional_u32(*q, "lost_after", 0);
        if (const json::Value* e = q->find("lost_errno")) n.quirks.lost_errno = errno_of(text_of(*e, "lost_errno"));
        if (const json::Value* r = q->find("replug_after_ms")) n.quirks.replug_after_ms = int(u32_of(*r, "replug_after_ms"));
    }
    return n;
}

// "/dev/videoN" → N, or -1.
long video_number(const std::string& path) {
    static const char kPrefix[] = "/dev/video";
    if (path.compare(0, sizeof kPrefix - 1, kPrefix) != 0 || path.size() == sizeof kPrefix - 1) return -1;
    long n = 0;
    for (size_t i = sizeof kPrefix - 1; i < path.size(); ++i) {
        if (path[i] < '0' || path[i] > '9' || n > 100000) return -1;
        n = n * 10 + (path[i] - '0');
    }
    return n;
}

void load_file(const std::string& path, std::vector<NodeDesc>* nodes) {
    json::Value doc;
    std::string error;
    if (!json::parse(read_whole_file(path, kMaxDescriptionBytes), &doc, &error)) fail_load(path + ": " + error);
    try {
        const json::Value& list = member(doc, "nodes");
        if (!list.is_array()) fail_load("\"nodes\" is a list");
        const size_t first = nodes->size();
        for (const json::Value& n : list.array()) {
            NodeDesc d = parse_node(n, directory_of(path));
            if (video_number(d.path) < 0) fail_load("a node path is /dev/videoN: \"" + d.path + "\"");
            for (size_t i = first; i < nodes->size(); ++i)
                if ((*nodes)[i].path == d.path) fail_load("two nodes are " + d.path);
            nodes->push_back(std::move(d));
        }
    } catch (const LoadError& e) {
        fail_load(path + ": " + e.what);
    }
}

std::vector<NodeDesc> load_description(const std::string& path) {
    std::vector<NodeDesc> nodes;
    DIR* dir = ::opendir(path.c_str());
    if (dir) {
        std::vector<std::string> files;
        while (const dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) files.push_back(name);
        }
        ::closedir(dir);
        std::sort(files.begin(), files.end());
        for (const std::string& f : files) {
            std::vector<NodeDesc> more;
            load_file(path + "/" + f, &more);
            // Cameras described apart may name the same node: later ones move to the next free
            // number. Of two cameras with the same link, as udev makes for identical cameras
            // without a serial number, the first keeps it.
            auto taken = [&](const std::string& p) {
                return std::any_of(nodes.begin(), nodes.end(), [&](const NodeDesc& o) {
                    return o.path == p || std::find(o.links.begin(), o.links.end(), p) != o.links.end();
                });
            };
            for (NodeDesc& n : more) {
                if (taken(n.path)) {
                    long k = 0;
                    while (taken("/dev/video" + std::to_string(k)) ||
                           std::any_of(more.begin(), more.end(),
                                       [&](const NodeDesc& o) { return o.path == "/dev/video" + std::to_string(k); }))
                        ++k;
                    n.path = "/dev/video" + std::to_string(k);
                }
                n.links.erase(std::remove_if(n.links.begin(), n.links.end(), taken), n.links.end());
                nodes.push_back(n);
            }
        }
    } else {
        load_file(path, &nodes);
    }
    return nodes;
}

// ---- the running machine -------------------------------------------------------------------

struct Node {
    NodeDesc desc;
    uint64_t generation = 0;  // changes on unplug: descriptors of an older one see ENODEV
    bool present = true;
    bool lost = false;  // the loss quirk has happened
    bool replug_pending = false;
    Clock::time_point replug_at{};
    int queue_error = 0;  // EIO: the queue is in error until streaming stops

    uint32_t fourcc = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    v4l2_fract interval{1, 30};

    bool streaming = false;
    v4l2::DriverBuffers buffers;
    Clock::time_point stream_start{};
    uint64_t next_index = 0;  // frames of the stream so far, delivered or dropped
    uint64_t produced = 0;    // frames that went into buffers
    std::vector<std::vector<uint8_t>> cycle;
    bool ticking = false;  // in Machine::ticking
};

struct Machine {
    std::vector<std::unique_ptr<Node>> nodes;
    std::map<std::string, Node*> by_path;  // paths and links; of two nodes with a link, the first
    // The nodes that streams or a pending replug make change over time: a call ticks these alone,
    // so that it costs the same however many nodes are described.
    std::vector<Node*> ticking;
};

struct File {
    Machine* machine = nullptr;
    Node* node = nullptr;  // nullptr: an eventfd
    uint64_t generation = 0;
    uint64_t counter = 0;
};

class Registry {
public:
    static Registry& get() {
        // Never destroyed: capture threads may still call in while the process exits.
        static Registry* r = new Registry();
        return *r;
    }

    const V4l2Syscalls* from_environment();
    const V4l2Syscalls* load(const std::string& path, std::string* error);
    // The machine a description gives, not installed; nullptr and *error when it cannot be read.
    static std::unique_ptr<Machine> build(const std::string& path, std::string* error);
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        loaded_ = false;
    }
    const V4l2Syscalls* table() const { return &table_; }
    uint64_t node_ticks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return node_ticks_;
    }

    int open(const char* path);
    int close(int fd);
    int ioctl(int fd, unsigned long request, void* arg);
    void* mmap(size_t length, int fd, off_t offset);
    int munmap(void* addr, size_t length);
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms);
    int eventfd(unsigned int initial);
    ssize_t read(int fd, void* buffer, size_t count);
    ssize_t write(int fd, const void* buffer, size_t count);
    int list_dir(const char* dir, std::vector<std::string>* names);
    int real_path(const char* path, std::string* resolved);

private:
    Registry();
    void install_locked(std::unique_ptr<Machine> m);
    Node* find_node_locked(const std::string& path);
    void tick_locked(Clock::time_point now);
    void start_ticking_locked(Node& n);
    void tick_node_locked(Node& n, Clock::time_point now);
    void produce_locked(Node& n, Clock::time_point now);
    void lose_locked(Node& n);
    void release_buffers_locked(Node& n);
    void start_stream_locked(Node& n);
    Clock::time_point next_event_locked(const struct pollfd* fds, nfds_t count);
    short revents_locked(const pollfd& p);
    int node_ioctl_locked(File& f, int fd, unsigned long request, void* arg);
    void adjust_format_locked(const Node& n, v4l2_pix_format* pix) const;
    v4l2_fract nearest_interval_locked(const Node& n, v4l2_fract asked) const;

    std::mutex load_mutex_;  // one load at a time, outside the driver's lock
    std::mutex mutex_;
    std::condition_variable changed_;
    V4l2Syscalls table_;
    bool loaded_ = false;
    std::string loaded_value_;
    Machine* current_ = nullptr;
    std::vector<std::unique_ptr<Machine>> machines_;
    std::map<int, File> files_;
    int next_fd_ = 0x40000000;  // far from real descriptors, so that a mix-up shows as EBADF
    uint64_t node_ticks_ = 0;
};

// At least a millisecond, so that an absurd interval cannot spin the driver.
std::chrono::duration<double> frame_period(const v4l2_fract& interval) {
    double seconds = interval.denominator ? double(interval.numerator) / double(interval.denominator) : 0;
    return std::chrono::duration<double>(seconds < 0.001 ? 0.001 : seconds);
}

int fail(int err) {
    errno = err;
    return -1;
}

// The table's entries are system calls to their callers: what C++ throws inside (memory for a
// stream's pictures) comes out as the errno a kernel would give, with `failed` as the result.
template <class Result, class Call>
Result as_system_call(Result failed, Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
    } catch (...) {
        errno = EIO;
    }
    return failed;
}

int s_open(const char* path, int) {
    return as_system_call(-1, [&] { return Registry::get().open(path); });
}
int s_close(int fd) {
    return as_system_call(-1, [&] { return Registry::get().close(fd); });
}
int s_ioctl(int fd, unsigned long request, void* arg) {
    return as_system_call(-1, [&] { return Registry::get().ioctl(fd, request, arg); });
}
void* s_mmap(void*, size_t length, int, int, int fd, off_t offset) {
    return as_system_call(MAP_FAILED, [&] { return Registry::get().mmap(length, fd, offset); });
}
int s_munmap(void* addr, size_t length) {
    return as_system_call(-1, [&] { return Registry::get().munmap(addr, length); });
}
int s_poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    return as_system_call(-1, [&] { return Registry::get().poll(fds, count, timeout_ms); });
}
int s_eventfd(unsigned int initial, int) {
    return as_system_call(-1, [&] { return Registry::get().eventfd(initial); });
}
ssize_t s_read(int fd, void* buffer, size_t count) {
    return as_system_call(ssize_t(-1), [&] { return Registry::get().read(fd, buffer, count); });
}
ssize_t s_write(int fd, const void* buffer, size_t count) {
    return as_system_call(ssize_t(-1), [&] { return Registry::get().write(fd, buffer, count); });
}
int s_scandir(const char* dir, struct dirent*** names, int (*)(const struct dirent*),
              int (*)(const struct dirent**, const struct dirent**)) {
    return as_system_call(-1, [&] {
        std::vector<std::string> list;
        if (Registry::get().list_dir(dir, &list) != 0) return -1;
        return scandir_result(list, names);
    });
}
char* s_realpath(const char* path, char*) {
    return as_system_call(static_cast<char*>(nullptr), [&]() -> char* {
        std::string resolved;
        if (Registry::get().real_path(path, &resolved) != 0) return nullptr;
        char* copy = ::strdup(resolved.c_str());
        if (!copy) errno = ENOMEM;
        return copy;
    });
}

Registry::Registry() {
    table_ = {s_open, s_close, s_ioctl, s_mmap, s_munmap, s_poll, s_eventfd, s_read, s_write, s_scandir, s_realpath};
}

void Registry::install_locked(std::unique_ptr<Machine> m) {
    if (current_) {
        // The old machine's devices are unplugged; buffers still mapped stay until unmapped. The
        // machine itself is kept, as descriptors of it may still be open.
        for (auto& n : current_->nodes) {
            n->present = false;
            n->replug_pending = false;
            ++n->generation;
            release_buffers_locked(*n);
        }
    }
    current_ = m.get();
    machines_.push_back(std::move(m));
    changed_.notify_all();
}

const V4l2Syscalls* Registry::load(const std::string& path, std::string* error) {
    std::unique_ptr<Machine> m = build(path, error);
    if (!m) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    install_locked(std::move(m));
    return &table_;
}

std::unique_ptr<Machine> Registry::build(const std::string& path, std::string* error) {
    auto m = std::make_unique<Machine>();
    try {
        for (NodeDesc& d : load_description(path)) {
            auto n = std::make_unique<Node>();
            n->desc = std::move(d);
            if (!n->desc.formats.empty()) {
                const FormatDesc& f = n->desc.formats[0];
                n->fourcc = f.fourcc;
                if (!f.sizes.empty()) {
                    n->width = f.sizes[0].width;
                    n->height = f.sizes[0].height;
                } else {
                    n->width = f.range.max_width;
                    n->height = f.range.max_height;
                }
            }
            m->nodes.push_back(std::move(n));
        }
        for (auto& n : m->nodes) {
            m->by_path.emplace(n->desc.path, n.get());
            for (const std::string& l : n->desc.links) m->by_path.emplace(l, n.get());
        }
    } catch (const LoadError& e) {
        if (error) *error = e.what;
        return nullptr;
    } catch (const std::bad_alloc&) {
        if (error) *error = path + ": out of memory while reading it; describe fewer or smaller cameras";
        return nullptr;
    }
    return m;
}

const V4l2Syscalls* Registry::from_environment() {
    const char* value = std::getenv(kV4l2ReplayVariable);
    if (!value || !*value) return nullptr;
    std::lock_guard<std::mutex> loading(load_mutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loaded_ && loaded_value_ == value) return &table_;
    }
    std::string path = value, error;
    if (!load(path, &error)) {
        std::fprintf(stderr, "%s: %s\n", kV4l2ReplayVariable, error.c_str());
        std::lock_guard<std::mutex> lock(mutex_);
        install_locked(std::make_unique<Machine>());  // no devices rather than the real ones
    }
    std::lock_guard<std::mutex> lock(mutex_);
    loaded_ = true;
    loaded_value_ = path;
    return &table_;
}

Node* Registry::find_node_locked(const std::string& path) {
    if (!current_) return nullptr;
    auto it = current_->by_path.find(path);
    return it == current_->by_path.end() ? nullptr : it->second;
}

void Registry::start_ticking_locked(Node& n) {
    if (n.ticking || !current_) return;
    n.ticking = true;
    current_->ticking.push_back(&n);
}

// Replugs what is due and fills buffers with the frames whose time has come.
void Registry::tick_locked(Clock::time_point now) {
    if (!current_) return;
    std::vector<Node*>& ticking = current_->ticking;
    for (Node* n : ticking) tick_node_locked(*n, now);
    ticking.erase(std::remove_if(ticking.begin(), ticking.end(),
                                 [](Node* n) {
                                     n->ticking = n->streaming || n->replug_pending;
                                     return !n->ticking;
                                 }),
                  ticking.end());
}

void Registry::tick_node_locked(Node& n, Clock::time_point now) {
    ++node_ticks_;
    if (n.replug_pending && now >= n.replug_at) {
        n.replug_pending = false;
        n.present = true;
        changed_.notify_all();
    }
    if (!n.present || !n.streaming || n.queue_error) return;
    const auto period = frame_period(n.interval);
    auto due = [&](uint64_t index) {
        return n.stream_start + std::chrono::duration_cast<Clock::duration>(period * double(index));
    };
    // A reader that stalled for long does not get the missed frames in a burst.
    if (now - due(n.next_index) > std::chrono::seconds(1))
        n.next_index = uint64_t((now - n.stream_start) / period);
    while (n.present && n.streaming && !n.queue_error && due(n.next_index) <= now) {
        produce_locked(n, now);
        ++n.next_index;
    }
}

void Registry::lose_locked(Node& n) {
    n.lost = true;
    if (n.desc.quirks.lost_errno == EIO) {
        n.queue_error = EIO;
    } else {
        n.present = false;
        ++n.generation;
        release_buffers_locked(n);
        if (n.desc.quirks.replug_after_ms >= 0) {
            n.replug_pending = true;
            start_ticking_locked(n);
            n.replug_at = Clock::now() + std::chrono::milliseconds(n.desc.quirks.replug_after_ms);
        }
    }
    changed_.notify_all();
}

void Registry::produce_locked(Node& n, Clock::time_point now) {
    const Quirks& q = n.desc.quirks;
    if (q.lost_after && !n.lost && n.produced >= q.lost_after) {
        // The reader gets every frame captured before the loss, so that "after N frames" is exact.
        if (!n.buffers.has_done()) lose_locked(n);
        return;
    }
    uint32_t index = 0;
    v4l2::DriverBuffer* buf = n.buffers.next_free(&index);
    if (!buf) return;  // no buffer queued: the frame is lost, as on a real device
    const uint64_t number = ++n.produced;  // 1-based
    const std::vector<uint8_t>& frame = n.cycle[size_t((number - 1) % n.cycle.size())];
    const size_t capacity = buf->memory.size();
    uint32_t flags = 0;
    size_t used;
    if (q.zero_first_frame && number == 1) {
        std::memset(buf->memory.data(), 0, capacity);
        used = capacity;
    } else {
        used = std::min(frame.size(), capacity);
        std::memcpy(buf->memory.data(), frame.data(), used);
        if (frame.size() > capacity) flags |= V4L2_BUF_FLAG_ERROR;
        if (q.zero_padding) {
            size_t pad = std::min<size_t>(q.zero_padding, capacity - used);
            std::memset(buf->memory.data() + used, 0, pad);
            used += pad;
        }
        if (q.error_every && number % q.error_every == 0) flags |= V4L2_BUF_FLAG_ERROR;
        if (q.empty_every && number % q.empty_every == 0) used = 0;
    }
    auto since_epoch = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    buf->bytesused = uint32_t(used);
    buf->flags = flags | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    buf->sequence = uint32_t(n.next_index);
    buf->timestamp.tv_sec = time_t(since_epoch / 1000000);
    buf->timestamp.tv_usec = suseconds_t(since_epoch % 1000000);
    n.buffers.complete(index);
    changed_.notify_all();
}

void Registry::release_buffers_locked(Node& n) {
    n.buffers.release();
    n.streaming = false;
    n.queue_error = 0;
    n.cycle.clear();
}

void Registry::start_stream_locked(Node& n) {
    n.cycle.clear();
    for (const Recording& r : n.desc.recordings) {
        if (r.fourcc == n.fourcc && r.width == n.width && r.height == n.height) {
            n.cycle = r.frames;
            break;
        }
    }
    if (n.cycle.empty()) {
        const GUID subtype = v4l2::subtype_from_pixel_format(n.fourcc);
        const bool renders = find_subtype(subtype) != nullptr;
        if (renders) {
            sim::FrameEncoder encoder(subtype, n.width, n.height);
            if (encoder.init()) {
                sim::Canvas canvas;
                canvas.width = n.width;
                canvas.height = n.height;
                canvas.bgr.resize(size_t(n.width) * n.height * 3);
                size_t per_frame = std::max<size_t>(1, frame_bytes(n.fourcc, n.width, n.height));
                size_t count = std::max<size_t>(1, std::min(kCycleFrames, kCycleBytes / per_frame));
                for (size_t i = 0; i < count; ++i) {
                    sim::draw_moving_pattern(canvas, uint32_t(i));
                    std::vector<uint8_t> bytes = encoder.encode(canvas, int64_t(i));
                    if (!bytes.empty()) n.cycle.push_back(std::move(bytes));
                }
            }
        }
        // A format nothing here can render (H.264, Bayer, ...) still streams: grey bytes.
        if (n.cycle.empty()) n.cycle.emplace_back(std::max<uint32_t>(1, frame_bytes(n.fourcc, n.width, n.height) / 4), 0x80);
    }
    n.streaming = true;
    start_ticking_locked(n);
    n.stream_start = Clock::now();
    n.next_index = 0;
    n.produced = 0;
}

int Registry::open(const char* path) {
    std::lock_guard<std::mutex> lock(mutex_);
    tick_locked(Clock::now());
    Node* n = find_node_locked(path);
    if (!n || !n->present) return fail(ENOENT);
    int fd = next_fd_++;
    files_[fd] = File{current_, n, n->generation, 0};
    return fd;
}

int Registry::eventfd(unsigned int initial) {
    std::lock_guard<std::mutex> lock(mutex_);
    int fd = next_fd_++;
    files_[fd] = File{nullptr, nullptr, 0, initial};
    return fd;
}

int Registry::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(fd);
    if (it == files_.end()) return fail(EBADF);
    File& f = it->second;
    if (f.node && f.node->buffers.owner() == fd && f.generation == f.node->generation) {
        // Closing the owner stops streaming and frees the buffers, once nothing maps them.
        release_buffers_locked(*f.node);
    }
    files_.erase(it);
    changed_.notify_all();
    return 0;
}

ssize_t Registry::read(int fd, void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(fd);
    if (it == files_.end() || it->second.node) return fail(EBADF);
    if (count < 8) return fail(EINVAL);
    if (it->second.counter == 0) return fail(EAGAIN);
    std::memcpy(buffer, &it->second.counter, 8);
    it->second.counter = 0;
    return 8;
}

ssize_t Registry::write(int fd, const void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(fd);
    if (it == files_.end() || it->second.node) return fail(EBADF);
    if (count < 8) return fail(EINVAL);
    uint64_t add;
    std::memcpy(&add, buffer, 8);
    if (add == UINT64_MAX || it->second.counter > UINT64_MAX - 1 - add) return fail(EAGAIN);
    it->second.counter += add;
    changed_.notify_all();
    return 8;
}

int Registry::list_dir(const char* dir, std::vector<std::string>* names) {
    std::lock_guard<std::mutex> lock(mutex_);
    tick_locked(Clock::now());
    if (!current_) return fail(ENOENT);
    std::string prefix = std::string(dir) + "/";
    bool any = std::strcmp(dir, "/dev") == 0;  // /dev exists even without cameras
    auto add = [&](const std::string& path) {
        if (path.compare(0, prefix.size(), prefix) != 0) return;
        std::string rest = path.substr(prefix.size());
        if (rest.empty() || rest.find('/') != std::string::npos) return;
        names->push_back(rest);
        any = true;
    };
    for (auto& n : current_->nodes) {
        if (!n->present) continue;
        add(n->desc.path);
        for (const std::string& l : n->desc.links) add(l);
    }
    return any ? 0 : fail(ENOENT);
}

int Registry::real_path(const char* path, std::string* resolved) {
    std::lock_guard<std::mutex> lock(mutex_);
    tick_locked(Clock::now());
    Node* n = find_node_locked(path);
    if (!n || !n->present) return fail(ENOENT);
    *resolved = n->desc.path;
    return 0;
}

void* Registry::mmap(size_t length, int fd, off_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(fd);
    if (it == files_.end() || !it->second.node) {
        errno = EBADF;
        return MAP_FAILED;
    }
    File& f = it->second;
    Node& n = *f.node;
    if (f.generation != n.generation || !n.present) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    v4l2::DriverBuffer* buf = n.buffers.mappable(fd, length, offset);
    if (!buf) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    buf->mapped = true;
    return buf->memory.data();
}

int Registry::munmap(void* addr, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& m : machines_) {
        for (auto& n : m->nodes)
            if (n->buffers.unmap(addr, length)) return 0;
    }
    return fail(EINVAL);
}

short Registry::revents_locked(const pollfd& p) {
    auto it = files_.find(p.fd);
    if (it == files_.end()) return POLLNVAL;
    const File& f = it->second;
    if (!f.node) return f.counter > 0 ? short(p.events & POLLIN) : short(0);
    const Node& n = *f.node;
    if (f.generation != n.generation || !n.present) return POLLERR | POLLHUP;
    if (n.buffers.owner() != p.fd || !n.streaming || n.queue_error) return POLLERR;
    return n.buffers.has_done() ? short(p.events & POLLIN) : short(0);
}

Clock::time_point Registry::next_event_locked(const struct pollfd* fds, nfds_t count) {
    Clock::time_point next = Clock::time_point::max();
    if (!current_) return next;
    for (Node* n : current_->ticking) {
        if (n->replug_pending) next = std::min(next, n->replug_at);
    }
    for (nfds_t i = 0; i < count; ++i) {
        auto it = files_.find(fds[i].fd);
        if (it == files_.end() || !it->second.node) continue;
        const Node& n = *it->second.node;
        if (!n.streaming || !n.present) continue;
        const auto period = frame_period(n.interval);
        next = std::min(next, n.stream_start + std::chrono::duration_cast<Clock::duration>(period * double(n.next_index)));
    }
    return next;
}

int Registry::poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point deadline =
        timeout_ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        Clock::time_point now = Clock::now();
        tick_locked(now);
        int ready = 0;
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].revents = revents_locked(fds[i]);
            if (fds[i].revents) ++ready;
        }
        if (ready || now >= deadline) return ready;
        Clock::time_point wake = std::min(deadline, next_event_locked(fds, count));
        if (wake == Clock::time_point::max()) changed_.wait(lock);
        else changed_.wait_until(lock, wake);
    }
}

void Registry::adjust_format_locked(const Node& n, v4l2_pix_format* pix) const {
    const FormatDesc* chosen = &n.desc.formats[0];
    for (const FormatDesc& f : n.desc.formats)
        if (f.fourcc == pix->pixelformat) {
            chosen = &f;
            break;
        }
    pix->pixelformat = chosen->fourcc;
    if (chosen->size_type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        // The listed size nearest in area and shape, as UVC picks it.
        uint64_t best = UINT64_MAX;
        uint32_t w = pix->width, h = pix->height;
        for (const SizeEntry& s : chosen->sizes) {
            uint64_t dw = s.width > w ? s.width - w : w - s.width;
            uint64_t dh = s.height > h ? s.height - h : h - s.height;
            uint64_t d = dw * dw + dh * dh;
            if (d < best) {
                best = d;
                pix->width = s.width;
                pix->height = s.height;
            }
        }
    } else {
        const v4l2_frmsize_stepwise& r = chosen->range;
        auto fit = [](uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
            v = std::clamp(v, lo, hi);
            if (step > 1) v = lo + (v - lo) / step * step;
            return v;
        };
        pix->width = fit(pix->width, r.min_width, r.max_width, r.step_width);
        pix->height = fit(pix->height, r.min_height, r.max_height, r.step_height);
    }
    pix->field = V4L2_FIELD_NONE;
    pix->bytesperline = bytes_per_line(pix->pixelformat, pix->width);
    pix->sizeimage = frame_bytes(pix->pixelformat, pix->width, pix->height);
    pix->colorspace = is_compressed(pix->pixelformat) ? V4L2_COLORSPACE_JPEG : V4L2_COLORSPACE_SRGB;
}

// The listed interval nearest the asked one for the current format, as UVC picks it.
v4l2_fract Registry::nearest_interval_locked(const Node& n, v4l2_fract asked) const {
    const std::vector<v4l2_fract>* list = nullptr;
    const FormatDesc* range_format = nullptr;
    for (const FormatDesc& f : n.desc.formats) {
        if (f.fourcc != n.fourcc) continue;
        if (f.size_type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            for (const SizeEntry& s : f.sizes)
                if (s.width == n.width && s.height == n.height) list = &s.intervals;
        } else {
            list = &f.intervals;
            range_format = &f;
        }
        break;
    }
    auto seconds = [](const v4l2_fract& f) { return double(f.numerator) / double(f.denominator); };
    if (asked.numerator == 0 || asked.denominator == 0) asked = {1, 30};
    if (list && !list->empty()) {
        v4l2_fract best = (*list)[0];
        for (const v4l2_fract& f : *list)
            if (f.denominator && std::abs(seconds(f) - seconds(asked)) < std::abs(seconds(best) - seconds(asked)))
                best = f;
        return best.denominator ? best : v4l2_fract{1, 30};
    }
    if (range_format && range_format->has_interval_range) {
        const v4l2_frmival_stepwise& r = range_format->interval_range;
        if (r.min.denominator && r.max.denominator) {
            if (seconds(asked) < seconds(r.min)) return r.min;
            if (seconds(asked) > seconds(r.max)) return r.max;
        }
        return asked;
    }
    return n.interval;
}

int Registry::ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    tick_locked(Clock::now());
    auto it = files_.find(fd);
    if (it == files_.end() || !it->second.node) return fail(EBADF);
    File& f = it->second;
    if (f.generation != f.node->generation || !f.node->present) return fail(ENODEV);
    int r = node_ioctl_locked(f, fd, request, arg);
    changed_.notify_all();
    return r;
}

int Registry::node_ioctl_locked(File& file, int fd, unsigned long request, void* arg) {
    Node& n = *file.node;
    const NodeDesc& d = n.desc;
    const bool video = (((d.capabilities & V4L2_CAP_DEVICE_CAPS) ? d.device_caps : d.capabilities) &
                        V4L2_CAP_VIDEO_CAPTURE) != 0;
    auto copy_text = [](uint8_t* field, size_t size, const std::string& text) {
        std::memset(field, 0, size);
        // A text as long as the field fills it without a terminator, as drivers do.
        std::memcpy(field, text.data(), std::min(text.size(), size));
    };
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            std::memset(cap, 0, sizeof *cap);
            copy_text(cap->driver, sizeof cap->driver, d.driver);
            copy_text(cap->card, sizeof cap->card, d.card);
            copy_text(cap->bus_info, sizeof cap->bus_info, d.bus_info);
            cap->version = d.version;
            cap->capabilities = d.capabilities;
            cap->device_caps = d.device_caps;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* desc = static_cast<v4l2_fmtdesc*>(arg);
            const uint32_t index = desc->index, type = desc->type;
            if (type == V4L2_BUF_TYPE_META_CAPTURE) {
                if (index >= d.meta_formats.size()) return fail(EINVAL);
                std::memset(desc, 0, sizeof *desc);
                desc->index = index;
                desc->type = type;
                desc->pixelformat = d.meta_formats[index];
                return 0;
            }
            if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !video || index >= d.formats.size()) return fail(EINVAL);
            std::memset(desc, 0, sizeof *desc);
            desc->index = index;
            desc->type = type;
            desc->pixelformat = d.formats[index].fourcc;
            desc->flags = is_compressed(desc->pixelformat) ? V4L2_FMT_FLAG_COMPRESSED : 0;
            copy_text(desc->description, sizeof desc->description - 1, d.formats[index].description);
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* e = static_cast<v4l2_frmsizeenum*>(arg);
            if (!video) return fail(ENOTTY);
            for (const FormatDesc& f : d.formats) {
                if (f.fourcc != e->pixel_format) continue;
                if (f.size_type != V4L2_FRMSIZE_TYPE_DISCRETE) {
                    if (e->index != 0) return fail(EINVAL);
                    e->type = f.size_type;
                    e->stepwise = f.range;
                    return 0;
                }
                if (e->index >= f.sizes.size()) return fail(EINVAL);
                e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                e->discrete = {f.sizes[e->index].width, f.sizes[e->index].height};
                return 0;
            }
            return fail(EINVAL);
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* e = static_cast<v4l2_frmivalenum*>(arg);
            if (!video) return fail(ENOTTY);
            for (const FormatDesc& f : d.formats) {
                if (f.fourcc != e->pixel_format) continue;
                const std::vector<v4l2_fract>* list = nullptr;
                if (f.size_type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                    // A listed size that appears twice answers with its first entry.
                    for (const SizeEntry& s : f.sizes)
                        if (s.width == e->width && s.height == e->height) {
                            list = &s.intervals;
                            break;
                        }
                    if (!list) return fail(EINVAL);
                } else {
                    const v4l2_frmsize_stepwise& r = f.range;
                    if (e->width < r.min_width || e->width > r.max_width || e->height < r.min_height ||
                        e->height > r.max_height)
                        return fail(EINVAL);
                    if (f.has_interval_range) {
                        if (e->index != 0) return fail(EINVAL);
                        e->type = f.interval_range_type;
                        e->stepwise = f.interval_range;
                        return 0;
                    }
                    list = &f.intervals;
                }
                if (e->index >= list->size()) return fail(EINVAL);
                e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                e->discrete = (*list)[e->index];
                return 0;
            }
            return fail(EINVAL);
        }
        case VIDIOC_G_FMT:
        case VIDIOC_S_FMT:
        case VIDIOC_TRY_FMT: {
            auto* fmt = static_cast<v4l2_format*>(arg);
            if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !video || d.formats.empty()) return fail(EINVAL);
            if (request == VIDIOC_G_FMT) {
                std::memset(&fmt->fmt, 0, sizeof fmt->fmt);
                fmt->fmt.pix.pixelformat = n.fourcc;
                fmt->fmt.pix.width = n.width;
                fmt->fmt.pix.height = n.height;
                adjust_format_locked(n, &fmt->fmt.pix);
                return 0;
            }
            if (request == VIDIOC_S_FMT && n.buffers.owner() >= 0 && n.buffers.owner() != fd) return fail(EBUSY);
            if (request == VIDIOC_S_FMT && !n.buffers.empty()) return fail(EBUSY);
            v4l2_pix_format asked = fmt->fmt.pix;
            std::memset(&fmt->fmt, 0, sizeof fmt->fmt);
            fmt->fmt.pix.pixelformat = asked.pixelformat;
            fmt->fmt.pix.width = asked.width;
            fmt->fmt.pix.height = asked.height;
            adjust_format_locked(n, &fmt->fmt.pix);
            if (request == VIDIOC_S_FMT) {
                n.fourcc = fmt->fmt.pix.pixelformat;
                n.width = fmt->fmt.pix.width;
                n.height = fmt->fmt.pix.height;
                n.interval = nearest_interval_locked(n, n.interval);
            }
            return 0;
        }
        case VIDIOC_G_PARM:
        case VIDIOC_S_PARM: {
            auto* p = static_cast<v4l2_streamparm*>(arg);
            if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || !video) return fail(EINVAL);
            if (request == VIDIOC_S_PARM) {
                if (!d.timeperframe) return fail(EINVAL);
                if (n.streaming) return fail(EBUSY);
                n.interval = nearest_interval_locked(n, p->parm.capture.timeperframe);
            }
            std::memset(&p->parm, 0, sizeof p->parm);
            p->parm.capture.capability = d.timeperframe ? V4L2_CAP_TIMEPERFRAME : 0;
            p->parm.capture.timeperframe = n.interval;
            p->parm.capture.readbuffers = 0;
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto* req = static_cast<v4l2_requestbuffers*>(arg);
            if (req->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req->memory != V4L2_MEMORY_MMAP || !video)
                return fail(EINVAL);
            if (n.streaming) return fail(EBUSY);
            const uint32_t count = req->count ? std::clamp<uint32_t>(req->count, 2, kMaxBuffers) : 0;
            if (int err = n.buffers.request(fd, count, frame_bytes(n.fourcc, n.width, n.height))) return fail(err);
            req->count = count;
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
            if (int err = n.buffers.query(fd, b)) return fail(err);
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (n.queue_error) return fail(n.queue_error);
            if (b->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
            if (int err = n.buffers.queue(fd, b)) return fail(err);
            return 0;
        }
        case VIDIOC_DQBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (n.buffers.owner() != fd || !n.streaming) return fail(EINVAL);
            if (n.queue_error) return fail(n.queue_error);
            if (int err = n.buffers.dequeue(b)) return fail(err);
            return 0;
        }
        case VIDIOC_STREAMON:
            if (n.buffers.owner() != fd || n.buffers.empty()) return fail(EINVAL);
            if (!n.streaming) start_stream_locked(n);
            return 0;
        case VIDIOC_STREAMOFF:
            if (n.buffers.owner() != fd) return fail(EINVAL);
            n.streaming = false;
            n.queue_error = 0;
            n.buffers.stop();
            return 0;
        default:
            return fail(ENOTTY);
    }
}

}  // namespace
}  // namespace replay

const V4l2Syscalls* v4l2_replay_from_environment() { return replay::Registry::get().from_environment(); }

const V4l2Syscalls* v4l2_replay_load(const std::string& path, std::string* error) {
    return replay::Registry::get().load(path, error);
}

void v4l2_replay_reset() { replay::Registry::get().reset(); }

uint64_t v4l2_replay_node_ticks() { return replay::Registry::get().node_ticks(); }

bool v4l2_replay_check(const std::string& path, std::string* error) {
    return replay::Registry::build(path, error) != nullptr;
}

}  // namespace mfcompat

extern "C" MFCOMPAT_API void mfcompat_v4l2_replay_reset(void) { mfcompat::v4l2_replay_reset(); }
