#include "pipeline/virtual_camera_holder.h"

#include "pipeline/stage_probes.h"

#include <trelvohdcam.h>

#include <cstdlib>

VirtualCameraHolder& VirtualCameraHolder::instance() {
    // Deliberately leaked: no static destructor can run while an output thread still sends.
    static VirtualCameraHolder* const holder = [] {
        auto* created = new VirtualCameraHolder();
        std::atexit(&VirtualCameraHolder::close_at_exit);
        return created;
    }();
    return *holder;
}

void VirtualCameraHolder::close_at_exit() {
    VirtualCameraHolder& holder = instance();
    std::lock_guard<std::mutex> guard(holder.mutex);
    if (holder.initialized && holder.handle != nullptr) {
        scDeleteCamera(holder.handle);
    }
    holder.handle = nullptr;
    holder.active = false;
    holder.token_ = 0;
    holder.closed = true;
}

uint64_t VirtualCameraHolder::create_camera(int32_t width, int32_t height, float fps, int32_t type) {
    std::lock_guard<std::mutex> guard(mutex);
    if (closed) {
        return 0;
    }
    if (initialized && handle != nullptr) {
        scDeleteCamera(handle);
        handle = nullptr;
    }
    handle = scCreateCamera(width, height, fps, type);
    width_ = width;
    height_ = height;
    type_ = type;
    initialized = true;
    active = true;
    token_ = ++last_token_;
    return token_;
}

int VirtualCameraHolder::send_frame(uint64_t token, const void* picture, int32_t width, int32_t height,
                                    int32_t type) {
    std::lock_guard<std::mutex> guard(mutex);
    // The library reads the picture by the camera's own size and type; anything else would be
    // read out of bounds or shown garbled, so it is refused here. A session whose camera another
    // start replaced must not feed the new one: two cameras' pictures would interleave.
    if (!active || token == 0 || token != token_ || picture == nullptr || width != width_ || height != height_ ||
        type != type_) {
        return -1;
    }
    TRELVO_STAGE_PROBE(PipelineStage::send);
    scSendFrame(handle, picture);
    return 0;
}

void VirtualCameraHolder::delete_camera() {
    std::lock_guard<std::mutex> guard(mutex);
    delete_locked();
}

void VirtualCameraHolder::delete_camera(uint64_t token) {
    std::lock_guard<std::mutex> guard(mutex);
    if (token != 0 && token == token_) {
        delete_locked();
    }
}

void VirtualCameraHolder::delete_locked() {
    if (handle != nullptr) {
        scDeleteCamera(handle);
        handle = nullptr;
    }
    active = false;
    token_ = 0;
}
