// Reading the replay driver's descriptions: JSON through nlohmann-json, then every value checked
// for what the driver needs of it, with errors that name the file (and the line of a syntax error).
#include "v4l2/replay_description.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <nlohmann/json.hpp>

#include "v4l2/v4l2_internal.h"

namespace mfcompat {
namespace replay {
namespace {

using Json = nlohmann::json;

// Bounds on what a description may make the driver read or allocate.
constexpr size_t kMaxDescriptionBytes = size_t(4) << 20;
constexpr size_t kMaxFramesFileBytes = size_t(64) << 20;
constexpr uint32_t kMaxSide = 16384;
constexpr uint64_t kMaxPictureBytes = uint64_t(256) << 20;  // of the relay's 3-byte-per-pixel picture
constexpr size_t kMaxRecordedFrames = 4096;
// Deeper than any description needs; bounds the parser's work on hostile input.
constexpr int kMaxDepth = 64;

[[noreturn]] void fail_load(const std::string& what) { throw LoadError{what}; }

// The member named key of an object, or nullptr (also for a value that is no object).
const Json* find(const Json& obj, const char* key) {
    if (!obj.is_object()) return nullptr;
    const auto it = obj.find(key);
    return it == obj.end() ? nullptr : &*it;
}

const Json& member(const Json& obj, const char* key) {
    const Json* v = find(obj, key);
    if (!v) fail_load(std::string("missing \"") + key + "\"");
    return *v;
}

std::string text_of(const Json& v, const char* what) {
    if (!v.is_string()) fail_load(std::string(what) + " must be a string");
    return v.get_ref<const std::string&>();
}

std::string optional_text(const Json& obj, const char* key, const std::string& fallback) {
    const Json* v = find(obj, key);
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

uint32_t u32_of(const Json& v, const char* what) {
    if (v.is_string()) return parse_u32(v.get_ref<const std::string&>(), what);
    if (v.is_number_unsigned() && v.get<uint64_t>() <= 0xFFFFFFFFull) return uint32_t(v.get<uint64_t>());
    if (v.is_number_float()) {
        const double d = v.get<double>();
        if (d >= 0 && d <= 4294967295.0 && d == double(uint64_t(d))) return uint32_t(d);
    }
    fail_load(std::string(what) + " must be a whole number");
}

uint32_t optional_u32(const Json& obj, const char* key, uint32_t fallback) {
    const Json* v = find(obj, key);
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


std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

Recording parse_recording(const Json& v, const std::string& base_dir) {
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

FormatDesc parse_format(const Json& v) {
    if (!v.is_object()) fail_load("a format is an object");
    FormatDesc f;
    std::string fourcc = text_of(member(v, "fourcc"), "fourcc");
    f.fourcc = fourcc_of(fourcc);
    f.description = optional_text(v, "description", fourcc);
    if (const Json* sizes = find(v, "sizes")) {
        if (!sizes->is_array()) fail_load("\"sizes\" is a list");
        for (const Json& s : *sizes) {
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
    } else if (const Json* r = find(v, "stepwise")) {
        f.size_type = V4L2_FRMSIZE_TYPE_STEPWISE;
        f.range = parse_size_range(text_of(*r, "stepwise"), true);
    } else if (const Json* r = find(v, "continuous")) {
        f.size_type = V4L2_FRMSIZE_TYPE_CONTINUOUS;
        f.range = parse_size_range(text_of(*r, "continuous"), false);
    }
    if (const Json* i = find(v, "intervals")) f.intervals = parse_intervals(text_of(*i, "intervals"));
    if (const Json* i = find(v, "interval_range")) parse_interval_range(text_of(*i, "interval_range"), &f);
    return f;
}

NodeDesc parse_node(const Json& v, const std::string& base_dir) {
    if (!v.is_object()) fail_load("a node is an object");
    NodeDesc n;
    n.path = text_of(member(v, "path"), "path");
    if (const Json* links = find(v, "links")) {
        if (!links->is_array()) fail_load("\"links\" is a list");
        for (const Json& l : *links) n.links.push_back(text_of(l, "a link"));
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
    if (const Json* t = find(v, "timeperframe")) {
        if (!t->is_boolean()) fail_load("\"timeperframe\" is true or false");
        n.timeperframe = t->get<bool>();
    }
    if (const Json* formats = find(v, "formats")) {
        if (!formats->is_array()) fail_load("\"formats\" is a list");
        for (const Json& f : *formats) n.formats.push_back(parse_format(f));
    }
    if (const Json* meta = find(v, "meta_formats")) {
        if (!meta->is_array()) fail_load("\"meta_formats\" is a list");
        for (const Json& m : *meta) n.meta_formats.push_back(fourcc_of(text_of(m, "a meta format")));
    }
    if (const Json* frames = find(v, "frames")) {
        if (!frames->is_array()) fail_load("\"frames\" is a list");
        for (const Json& f : *frames) n.recordings.push_back(parse_recording(f, base_dir));
    }
    if (const Json* q = find(v, "quirks")) {
        if (!q->is_object()) fail_load("\"quirks\" is an object");
        n.quirks.error_every = optional_u32(*q, "error_every", 0);
        n.quirks.empty_every = optional_u32(*q, "empty_every", 0);
        n.quirks.zero_padding = optional_u32(*q, "zero_padding", 0);
        if (const Json* z = find(*q, "zero_first_frame")) n.quirks.zero_first_frame = z->is_boolean() && z->get<bool>();
        n.quirks.lost_after = optional_u32(*q, "lost_after", 0);
        if (const Json* e = find(*q, "lost_errno")) n.quirks.lost_errno = errno_of(text_of(*e, "lost_errno"));
        if (const Json* r = find(*q, "replug_after_ms")) n.quirks.replug_after_ms = int(u32_of(*r, "replug_after_ms"));
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

// The document, or a LoadError with nlohmann-json's account of a syntax error (which names the line
// and column) or of a number out of range, without its exception's tag.
Json parse_document(const std::string& text) {
    const Json::parser_callback_t depth_limit = [](int depth, Json::parse_event_t event, Json&) {
        if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
            depth > kMaxDepth)
            fail_load("nested too deeply (more than " + std::to_string(kMaxDepth) + " levels)");
        return true;
    };
    try {
        return Json::parse(text, depth_limit);
    } catch (const Json::exception& e) {
        std::string what = e.what();
        const size_t tag = what.find("] ");
        if (what.compare(0, 1, "[") == 0 && tag != std::string::npos) what.erase(0, tag + 2);
        fail_load(what);
    }
}

void load_file(const std::string& path, std::vector<NodeDesc>* nodes) {
    const std::string text = read_whole_file(path, kMaxDescriptionBytes);
    try {
        const Json doc = parse_document(text);
        const Json& list = member(doc, "nodes");
        if (!list.is_array()) fail_load("\"nodes\" is a list");
        const size_t first = nodes->size();
        for (const Json& n : list) {
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

}  // namespace

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

}  // namespace replay
}  // namespace mfcompat
