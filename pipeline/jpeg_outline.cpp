#include "pipeline/jpeg_outline.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr uint8_t kSof0 = 0xC0;
constexpr uint8_t kSof1 = 0xC1;
constexpr uint8_t kSof2 = 0xC2;
constexpr uint8_t kSof3 = 0xC3;
constexpr uint8_t kDht = 0xC4;
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kEoi = 0xD9;
constexpr uint8_t kSos = 0xDA;
constexpr uint8_t kDqt = 0xDB;
constexpr uint8_t kDri = 0xDD;
constexpr uint8_t kSofLs = 0xF7;
constexpr uint8_t kLse = 0xF8;
constexpr uint8_t kCom = 0xFE;
constexpr int kMaxComponents = 4;  // libavcodec's limit
constexpr size_t kRefused = SIZE_MAX;

bool is_rst(uint8_t marker) { return marker >= 0xD0 && marker <= 0xD7; }
bool is_app(uint8_t marker) { return marker >= 0xE0 && marker <= 0xEF; }
bool is_decoded_frame_header(uint8_t marker) {
    return marker == kSof0 || marker == kSof1 || marker == kSof2 || marker == kSof3 || marker == kSofLs;
}
uint16_t read_be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
bool fourcc_is(const uint8_t* p, const char* name) { return std::memcmp(p, name, 4) == 0; }

// The decoder does not skip a segment by its length: it reads the fields it knows and then looks
// for the next marker from where its reading stopped, which may be inside the segment or past its
// end. The functions below say where that is, as an offset from the segment's 0xFF, so that the
// walk looks for markers exactly where the decoder does. A segment the decoder rejects fails the
// whole packet, so any resumption is fine for it.

// Quantisation tables are read one by one while 65 bytes of the declared length are left; what
// is left after them is searched for markers, and a 16-bit table may read past the segment.
size_t after_quantisation_tables(const uint8_t* data, size_t length, size_t at, size_t segment) {
    size_t offset = 4;
    for (size_t left = segment >= 2 ? segment - 2 : 0; left >= 65;) {
        if (at + offset >= length) break;
        const size_t table = 1 + 64 * (1 + (data[at + offset] >> 4 != 0 ? 1 : 0));
        offset += table;
        left = left >= table ? left - table : 0;
    }
    return offset;
}

// An application segment: too short or longer than what follows it, the decoder reads only the
// length. Otherwise it reads a few ids' fields and skips all but the last byte of what is left (or
// the whole segment when nothing is left); a JFIF thumbnail is not skipped but searched, and two ids
// read fixed fields even past a short segment's end.
size_t after_application_segment(const uint8_t* data, size_t length, size_t at, size_t segment) {
    const size_t available = length - (at + 4);
    if (segment < 6 || segment > available) return 4;
    const uint8_t* id = data + at + 4;
    const size_t left = segment - 6;
    if (fourcc_is(id, "AVI1") && left == 0) return 2 + 7;
    if (fourcc_is(id, "LJIF") && left < 9) return 2 + 15;
    if (fourcc_is(id, "JFIF") && left >= 10) {
        const size_t thumbnail = size_t(id[12]) * id[13] * 3;
        if (thumbnail != 0 && left - 8 > 10 + thumbnail) return 2 + segment - thumbnail - 1;
    }
    // Whether the decoder stops one byte short of the end depends on fields it parses (Exif, ICC);
    // the two places agree unless that last byte and the next would make a marker: refused.
    const size_t end = at + 2 + segment;
    if (data[end - 1] == 0xFF && end < length && data[end] >= 0xC0 && data[end] != 0xFF) return kRefused;
    return 2 + segment;
}

// Where the decoder looks for the next marker after the one at `at` (not a start of scan), or
// kRefused where the walk cannot tell.
size_t resume_offset(uint8_t marker, const uint8_t* data, size_t length, size_t at, size_t segment) {
    const size_t available = length - (at + 4);
    if (is_app(marker)) return after_application_segment(data, length, at, segment);
    if (marker == kCom) return segment >= 2 && segment - 2 <= available ? 2 + segment : 4;
    if (marker == kDqt) return after_quantisation_tables(data, length, at, segment);
    if (marker == kDht || marker == kDri || is_decoded_frame_header(marker)) return 2 + segment;
    // JPEG-LS parameters: only the coding-parameter form of its exact length is read as a whole.
    if (marker == kLse) return segment == 13 && available >= 1 && data[at + 4] == 1 ? 2 + segment : kRefused;
    return 2;  // markers the decoder does not read: it searches on right after them
}

// Which coefficients of each component have been sent to their last bit (progressive scans).
struct ProgressiveCoverage {
    int components = 0;
    uint8_t ids[kMaxComponents] = {};
    uint64_t finished[kMaxComponents] = {};

    void set_components(const uint8_t* sof_payload, size_t available) {
        components = 0;
        if (available < 6) return;
        const int count = sof_payload[5];
        for (int i = 0; i < count && i < kMaxComponents && 6 + 3 * size_t(i) < available; ++i) {
            ids[i] = sof_payload[6 + 3 * i];
            components = i + 1;
        }
        if (count > kMaxComponents) components = 0;  // the decoder rejects these anyway
        std::memset(finished, 0, sizeof(finished));
    }

    void add_scan(const uint8_t* sos_payload, size_t available) {
        if (available < 1) return;
        const size_t count = sos_payload[0];
        if (available < 1 + 2 * count + 3) return;
        const int start = sos_payload[1 + 2 * count];
        const int end = sos_payload[2 + 2 * count];
        const int low_bit = sos_payload[3 + 2 * count] & 0x0F;
        if (low_bit != 0 || start > end || end > 63) return;  // not the last bit of anything
        const uint64_t bits = (end == 63 ? ~uint64_t(0) : (uint64_t(1) << (end + 1)) - 1) & ~((uint64_t(1) << start) - 1);
        for (size_t k = 0; k < count; ++k) {
            for (int c = 0; c < components; ++c) {
                if (ids[c] == sos_payload[1 + 2 * k]) finished[c] |= bits;
            }
        }
    }

    bool complete() const {
        if (components == 0) return false;
        for (int c = 0; c < components; ++c) {
            if (finished[c] != ~uint64_t(0)) return false;
        }
        return true;
    }
};

// The offset of the first 0xFF in data[at, end), or `end` when there is none.
size_t find_ff(const uint8_t* data, size_t at, size_t end) {
    const void* hit = std::memchr(data + at, 0xFF, end - at);
    return hit == nullptr ? end : static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
}

// The next marker at or after `at` inside entropy-coded data: 0xFF then a byte that is not a
// stuffing zero, a fill 0xFF or a restart marker. Returns the offset of its 0xFF, or `length`.
size_t next_marker_in_scan(const uint8_t* data, size_t length, size_t at) {
    while (at + 1 < length) {
        at = find_ff(data, at, length - 1);
        if (at == length - 1) return length;
        const uint8_t next = data[at + 1];
        if (next >= 0xC0 && next != 0xFF && !is_rst(next)) return at;
        at += 1;
    }
    return length;
}

// Whether no byte pair starting in data[from, to) looks like a marker to the decoder.
bool marker_free(const uint8_t* data, size_t length, size_t from, size_t to) {
    const size_t end = to < length - 1 ? to : length - 1;
    for (size_t at = from; at < end; ++at) {
        at = find_ff(data, at, end);
        if (at < end && data[at + 1] >= 0xC0 && data[at + 1] != 0xFF) return false;
    }
    return true;
}

}  // namespace

JpegOutline outline_jpeg(const uint8_t* data, size_t length) {
    JpegOutline outline;
    if (data == nullptr || length < 4) return outline;
    ProgressiveCoverage coverage;
    // From the first byte: the decoder takes markers before (or without) a start of image too.
    size_t at = 0;
    bool in_scan = false;
    size_t scan_end = SIZE_MAX;
    while (at + 1 < length) {
        if (in_scan) {
            at = next_marker_in_scan(data, length, at);
            scan_end = at;
            in_scan = false;
            continue;
        }
        if (data[at] != 0xFF) {
            // Stray bytes between segments (or padding after the image): the decoder steps over
            // them to the next 0xFF too.
            at = find_ff(data, at, length);
            continue;
        }
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF || marker < 0xC0 || is_rst(marker) || marker == kSoi) {
            at += 1 + (marker != 0xFF);
            continue;
        }
        if (marker == kEoi) {
            // The decoder may read on past an end marker (a second field, or no picture yet), so
            // the walk goes on too: a frame header after it counts as well.
            if (outline.has_scan) outline.has_end = true;
            at += 2;
            continue;
        }
        if (at + 4 > length) {
            // A frame header cut before its size: the decoder would read a size of zero.
            if (is_decoded_frame_header(marker)) outline.sizes_agree = false;
            break;
        }
        const size_t segment = read_be16(data + at + 2);
        const uint8_t* payload = data + at + 4;
        const size_t available = length - (at + 4);
        // A damaged scan can end with the decoder's bit reader past the marker that follows it
        // (it reads 8 bits beyond the data, which ends with that marker's 0xFF), so the decoder may
        // search on inside that marker's segment: nothing there may look like a marker.
        auto searched_after_scan = [&](size_t next) {
            return at == scan_end && !marker_free(data, length, at + 2, next);
        };
        if (is_decoded_frame_header(marker)) {
            ++outline.frame_headers;
            if (available >= 5) {
                const int32_t height = read_be16(payload + 1);
                const int32_t width = read_be16(payload + 3);
                if (outline.frame_headers == 1) {
                    outline.width = width;
                    outline.height = height;
                    outline.progressive = marker == kSof2;
                    if (outline.progressive) coverage.set_components(payload, available);
                } else if (width != outline.width || height != outline.height) {
                    outline.sizes_agree = false;
                }
            } else {
                outline.sizes_agree = false;
            }
        } else if (marker == kSos) {
            if (outline.frame_headers > 0 && segment <= available + 2) outline.has_scan = true;
            if (outline.progressive) coverage.add_scan(payload, available);
            if (searched_after_scan(at + 2 + segment)) {
                outline.markers_certain = false;
                break;
            }
            at += 2 + segment;
            in_scan = true;
            continue;
        }
        const size_t resume = resume_offset(marker, data, length, at, segment);
        if (resume == kRefused || searched_after_scan(at + resume)) {
            outline.markers_certain = false;
            break;
        }
        at += resume;
    }
    if (outline.frame_headers == 0) {
        outline.width = 0;
        outline.height = 0;
    }
    outline.progressive_complete = outline.progressive && coverage.complete();
    return outline;
}
