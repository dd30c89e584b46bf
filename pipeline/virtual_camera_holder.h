// The process-wide holder of the one virtual camera; it alone calls the virtual camera library.
//
// The holder is made on first use and never destroyed, so an output thread still running while
// the process ends always finds a valid object and lock. Instead of a destructor, an exit handler
// registered by the first instance() call deletes a camera still held, once, and closes the
// holder: later sends return -1 and later creations make nothing.
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
    // The exit handler: deletes a held camera and closes the holder for good.
    static void close_at_exit();

    bool initialized = false;
    bool active = false;
    void* handle = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t type_ = 0;
    bool closed = false;
    std::mutex mutex;
    friend struct VirtualCameraHolderAccess;
};
