// The process-wide holder of the one virtual camera; it alone calls the virtual camera library.
#pragma once

#include <cstdint>
#include <mutex>

class VirtualCameraHolder {
public:
    static VirtualCameraHolder& instance();

    // Deletes a camera still held, then creates a new one and enables sending.
    void create_camera(int32_t width, int32_t height, float fps, int32_t type);
    // 0 when the picture went to the library, -1 when there is no active camera or the picture
    // does not match the camera's width, height and type.
    int send_frame(const void* picture, int32_t width, int32_t height, int32_t type);
    // Deletes the camera and disables sending.
    void delete_camera();

    VirtualCameraHolder(const VirtualCameraHolder&) = delete;
    VirtualCameraHolder& operator=(const VirtualCameraHolder&) = delete;

private:
    VirtualCameraHolder() = default;

    bool initialized = false;
    bool active = false;
    void* handle = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t type_ = 0;
    std::mutex mutex;
    friend struct VirtualCameraHolderAccess;
};
