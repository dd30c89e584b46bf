// The recording of what callers did: counters, per-handle frame counts and the last picture.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "recording.h"
#include "trelvohdcam_record.h"

namespace trelvohdcam {
namespace {

struct Recording {
    std::mutex mutex;
    trelvohdcam_record_counts counts{};
    std::unordered_map<uintptr_t, uint64_t> frames_per_handle;
    bool keep_frames = false;
    std::vector<unsigned char> last_frame;
    bool have_last_frame = false;
    void* last_frame_handle = nullptr;
};

// Leaked on purpose, like the registry: deletions from the caller's static
// destructors still record.
Recording& recording() {
    static Recording* r = new Recording();
    return *r;
}

}  // namespace

void record_create(int width, int height, float fps, int type, void* handle) {
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    if (handle) {
        ++rec.counts.cameras_created;
        ++rec.counts.live_cameras;
    } else {
        ++rec.counts.create_failures;
    }
    rec.counts.last_width = width;
    rec.counts.last_height = height;
    rec.counts.last_fps = fps;
    rec.counts.last_type = type;
    rec.counts.last_handle = handle;
}

void record_sent(void* handle, const void* picture, std::size_t size) {
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    ++rec.counts.frames_sent;
    // The picture was taken whatever the recording can keep: without memory for it, the
    // per-handle count or the kept copy is what is lost.
    try {
        ++rec.frames_per_handle[to_id(handle)];
        if (rec.keep_frames) {
            const auto* bytes = static_cast<const unsigned char*>(picture);
            rec.last_frame.assign(bytes, bytes + size);
            rec.have_last_frame = true;
            rec.last_frame_handle = handle;
        }
    } catch (const std::bad_alloc&) {
        rec.have_last_frame = false;
    }
}

void record_send_failure() {
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    ++rec.counts.send_failures;
}

void record_deleted() {
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    ++rec.counts.cameras_deleted;
    if (rec.counts.live_cameras > 0) --rec.counts.live_cameras;
}

void record_delete_failure() {
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    ++rec.counts.delete_failures;
}

}  // namespace trelvohdcam

using namespace trelvohdcam;

extern "C" {

TRELVOHDCAM_API void trelvohdcam_record_get(trelvohdcam_record_counts* out) {
    if (!out) return;
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    *out = rec.counts;
}

TRELVOHDCAM_API uint64_t trelvohdcam_record_frames_for(void* handle) {
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    auto it = rec.frames_per_handle.find(to_id(handle));
    return it == rec.frames_per_handle.end() ? 0 : it->second;
}

TRELVOHDCAM_API void trelvohdcam_record_keep_frames(int enabled) {
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    rec.keep_frames = enabled != 0;
}

TRELVOHDCAM_API size_t trelvohdcam_record_last_frame(void* out, size_t capacity, void** handle) {
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    if (handle) *handle = rec.have_last_frame ? rec.last_frame_handle : nullptr;
    if (!rec.have_last_frame) return 0;
    if (out) std::memcpy(out, rec.last_frame.data(), std::min(capacity, rec.last_frame.size()));
    return rec.last_frame.size();
}

TRELVOHDCAM_API size_t trelvohdcam_record_live_handles(void** out, size_t capacity) {
    return live_handles(out, capacity);
}

TRELVOHDCAM_API void trelvohdcam_record_reset(void) {
    size_t live = live_handles(nullptr, 0);
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    rec.counts = trelvohdcam_record_counts{};
    rec.counts.live_cameras = live;
    rec.frames_per_handle.clear();
    rec.last_frame.clear();
    rec.last_frame.shrink_to_fit();
    rec.have_last_frame = false;
    rec.last_frame_handle = nullptr;
}

}  // extern "C"
