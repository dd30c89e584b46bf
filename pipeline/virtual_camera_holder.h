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

    // Deletes a camera still held, then creates a new one and enables sending. Returns the new
    // camera's token (never 0), which names it in delete_camera; 0 once the holder is closed.
    uint64_t create_camera(int32_t width, int32_t height, float fps, int32_t type);
    // 0 when the picture went to the library, -1 when there is no active camera, `token` names
    // another camera than the one held (the sender's camera was replaced), or the picture does
    // not match the camera's width, height and type.
    int send_frame(uint64_t token, const void* picture, int32_t width, int32_t height, int32_t type);
    // Deletes the camera and disables sending.
    void delete_camera();
    // The same, but only while the camera held is the one whose creation returned `token`: one
    // session's stop must not delete the camera that another session's start put in its place.
    void delete_camera(uint64_t token);

    VirtualCameraHolder(const VirtualCameraHolder&) = delete;
    VirtualCameraHolder& operator=(const VirtualCameraHolder&) = delete;

private:
    VirtualCameraHolder() = default;
    void delete_locked();
    // The exit handler: deletes a held camera and closes the holder for good.
    static void close_at_exit();

    bool initialized = false;
    bool active = false;
    void* handle = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t type_ = 0;
    uint64_t token_ = 0;       // of the camera held; 0 when none
    uint64_t last_token_ = 0;  // tokens are never reused
    bool closed = false;
    std::mutex mutex;
    friend struct VirtualCameraHolderAccess;
};
