// The three camera calls, the registry of live cameras, and the recording.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "channel.h"
#include "loopback.h"
#include "trelvohdcam.h"
#include "trelvohdcam_record.h"

namespace trelvohdcam {
namespace {

// Larger pictures are refused rather than risking a size overflow.
constexpr uint64_t kMaxFrameBytes = 1ull << 30;

struct Camera {
    uintptr_t id = 0;
    int width = 0, height = 0, type = 0;
    float fps = 0;
    std::size_t frame_size = 0;  // 0 for types that present nothing
    std::string channel_name;

    std::mutex mutex;  // guards the presenters
    std::unique_ptr<ChannelWriter> channel;
    std::unique_ptr<LoopbackOutput> loopback;
};

struct Registry {
    std::mutex mutex;
    uintptr_t next_id = 1;
    // Ordered by id, which is creation order.
    std::map<uintptr_t, std::shared_ptr<Camera>> live;
};

struct Recording {
    std::mutex mutex;
    trelvohdcam_record_counts counts{};
    std::unordered_map<uintptr_t, uint64_t> frames_per_handle;
    bool keep_frames = false;
    std::vector<unsigned char> last_frame;
    bool have_last_frame = false;
    void* last_frame_handle = nullptr;
};

// Leaked on purpose: cameras may be deleted from static destructors of the
// caller (a module unloaded at exit), after our own statics would be gone.
Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}
Recording& recording() {
    static Recording* r = new Recording();
    return *r;
}

void* to_handle(uintptr_t id) { return reinterpret_cast<void*>(id); }
uintptr_t to_id(void* handle) { return reinterpret_cast<uintptr_t>(handle); }

uint64_t owner_token(uintptr_t id) {
    return (static_cast<uint64_t>(::getpid()) << 32) | (static_cast<uint64_t>(id) & 0xffffffffu);
}

std::size_t frame_bytes(int width, int height, int type) {
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (type == TRELVOHDCAM_TYPE_RGB24) return static_cast<std::size_t>(pixels * 3);
    if (type == TRELVOHDCAM_TYPE_YUY2) return static_cast<std::size_t>(pixels * 2);
    return 0;
}

std::shared_ptr<Camera> find(void* handle) {
    if (!handle) return nullptr;
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.live.find(to_id(handle));
    return it == reg.live.end() ? nullptr : it->second;
}

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

}  // namespace
}  // namespace trelvohdcam

using namespace trelvohdcam;

extern "C" {

TRELVOHDCAM_API void* scCreateCamera(int width, int height, float fps, int type) {
    if (width <= 0 || height <= 0 ||
        static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3 > kMaxFrameBytes) {
        record_create(width, height, fps, type, nullptr);
        return nullptr;
    }
    auto cam = std::make_shared<Camera>();
    cam->width = width;
    cam->height = height;
    cam->fps = fps;
    cam->type = type;
    cam->frame_size = frame_bytes(width, height, type);

    Registry& reg = registry();
    std::lock_guard<std::mutex> reg_lock(reg.mutex);
    cam->id = reg.next_id++;
    // One camera presents at a time: a new one takes the channel and the
    // device over from any camera still live.
    for (auto& entry : reg.live) {
        Camera& old = *entry.second;
        std::lock_guard<std::mutex> old_lock(old.mutex);
        old.channel.reset();
        old.loopback.reset();
    }
    if (cam->frame_size > 0) {
        cam->channel_name = channel_name_from_environment();
        // Presentation is best effort: without shared memory or a device the
        // camera still takes pictures.
        // The device first, so that the channel can tell readers where else the camera shows.
        cam->loopback = LoopbackOutput::open(width, height, type, fps);
        cam->channel = ChannelWriter::open(cam->channel_name, width, height, type, fps,
                                           cam->frame_size, owner_token(cam->id),
                                           cam->loopback ? cam->loopback->path() : std::string());
    }
    reg.live.emplace(cam->id, cam);
    void* handle = to_handle(cam->id);
    record_create(width, height, fps, type, handle);
    return handle;
}

TRELVOHDCAM_API int scSendFrame(void* handle, const void* picture) {
    std::shared_ptr<Camera> cam = picture ? find(handle) : nullptr;
    if (!cam) {
        Recording& rec = recording();
        std::lock_guard<std::mutex> lock(rec.mutex);
        ++rec.counts.send_failures;
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(cam->mutex);
        if (cam->channel && !cam->channel->write(picture)) cam->channel.reset();
        if (cam->loopback) cam->loopback->write(picture);
    }
    Recording& rec = recording();
    std::lock_guard<std::mutex> lock(rec.mutex);
    ++rec.counts.frames_sent;
    ++rec.frames_per_handle[cam->id];
    if (rec.keep_frames) {
        const auto* bytes = static_cast<const unsigned char*>(picture);
        rec.last_frame.assign(bytes, bytes + cam->frame_size);
        rec.have_last_frame = true;
        rec.last_frame_handle = handle;
    }
    return 0;
}

TRELVOHDCAM_API void scDeleteCamera(void* handle) {
    std::shared_ptr<Camera> cam;
    {
        Registry& reg = registry();
        std::lock_guard<std::mutex> lock(reg.mutex);
        auto it = handle ? reg.live.find(to_id(handle)) : reg.live.end();
        if (it != reg.live.end()) {
            cam = std::move(it->second);
            reg.live.erase(it);
        }
    }
    Recording& rec = recording();
    if (!cam) {
        std::lock_guard<std::mutex> lock(rec.mutex);
        ++rec.counts.delete_failures;
        return;
    }
    {
        // Waits for a picture being sent on another thread to finish.
        std::lock_guard<std::mutex> lock(cam->mutex);
        if (cam->channel) cam->channel->close();
        cam->channel.reset();
        cam->loopback.reset();
    }
    std::lock_guard<std::mutex> lock(rec.mutex);
    ++rec.counts.cameras_deleted;
    if (rec.counts.live_cameras > 0) --rec.counts.live_cameras;
}

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
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    size_t i = 0;
    for (auto& entry : reg.live) {
        if (out && i < capacity) out[i] = to_handle(entry.first);
        ++i;
    }
    return i;
}

TRELVOHDCAM_API void trelvohdcam_record_reset(void) {
    size_t live = trelvohdcam_record_live_handles(nullptr, 0);
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
