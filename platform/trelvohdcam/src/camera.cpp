// The three camera calls and the registry of live cameras.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>

#include "channel.h"
#include "loopback.h"
#include "recording.h"
#include "trelvohdcam.h"

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

// Leaked on purpose: cameras may be deleted from static destructors of the
// caller (a module unloaded at exit), after our own statics would be gone.
Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

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

}  // namespace

std::size_t live_handles(void** out, std::size_t capacity) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    std::size_t i = 0;
    for (auto& entry : reg.live) {
        if (out && i < capacity) out[i] = to_handle(entry.first);
        ++i;
    }
    return i;
}

}  // namespace trelvohdcam

using namespace trelvohdcam;

extern "C" {

namespace {

void* create_camera(int width, int height, float fps, int type) {
    if (width <= 0 || height <= 0 ||
        static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3 > kMaxFrameBytes)
        return nullptr;
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
        // Presentation is best effort: without shared memory or a device the camera still takes
        // pictures. But a channel refused for a reason the user must act on (someone else's
        // object under the name, no room) fails the camera: the caller would otherwise run
        // without output, or publish into an object another user reads.
        // The device first, so that the channel can tell readers where else the camera shows.
        cam->loopback = LoopbackOutput::open(width, height, type, fps);
        bool refused = false;
        cam->channel = ChannelWriter::open(cam->channel_name, width, height, type, fps,
                                           cam->frame_size, owner_token(cam->id),
                                           cam->loopback ? cam->loopback->path() : std::string(), &refused);
        if (refused) return nullptr;
    }
    reg.live.emplace(cam->id, cam);
    return to_handle(cam->id);
}

}  // namespace

// No C++ exception leaves the three calls: the caller is C, and a thrown bad_alloc would end its
// process. Each failure is the call's documented failure result.
TRELVOHDCAM_API void* scCreateCamera(int width, int height, float fps, int type) {
    void* handle = nullptr;
    try {
        handle = create_camera(width, height, fps, type);
    } catch (...) {
        handle = nullptr;
    }
    record_create(width, height, fps, type, handle);
    return handle;
}

TRELVOHDCAM_API int scSendFrame(void* handle, const void* picture) try {
    std::shared_ptr<Camera> cam = picture ? find(handle) : nullptr;
    if (!cam) {
        record_send_failure();
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(cam->mutex);
        if (cam->channel && !cam->channel->write(picture)) cam->channel.reset();
        if (cam->loopback) cam->loopback->write(picture);
    }
    record_sent(handle, picture, cam->frame_size);
    return 0;
} catch (...) {
    record_send_failure();
    return -1;
}

TRELVOHDCAM_API void scDeleteCamera(void* handle) try {
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
    if (!cam) {
        record_delete_failure();
        return;
    }
    {
        // Waits for a picture being sent on another thread to finish.
        std::lock_guard<std::mutex> lock(cam->mutex);
        if (cam->channel) cam->channel->close();
        cam->channel.reset();
        cam->loopback.reset();
    }
    record_deleted();
} catch (...) {
    record_delete_failure();
}

}  // extern "C"
