// What a V4L2 node is, from its VIDIOC_QUERYCAP answer: the rule the camera listing and the
// virtual camera's search for its loopback device share.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <cstring>

namespace trelvo_platform {

// The opened node's own capabilities: device_caps when the driver fills it, else those of the
// whole physical device (older drivers).
inline uint32_t node_caps(uint32_t capabilities, uint32_t device_caps) {
    return (capabilities & V4L2_CAP_DEVICE_CAPS) ? device_caps : capabilities;
}
inline uint32_t node_caps(const v4l2_capability& cap) { return node_caps(cap.capabilities, cap.device_caps); }

inline bool is_loopback(const v4l2_capability& cap) {
    static const char kLoopbackDriver[] = "v4l2 loopback";
    return std::strncmp(reinterpret_cast<const char*>(cap.driver), kLoopbackDriver, sizeof cap.driver) == 0;
}

// A camera streams video capture and is no virtual camera: a v4l2loopback device shows what another
// program writes into it, and is no capture source, as a virtual camera on Windows is not.
inline bool is_camera(const v4l2_capability& cap) {
    const uint32_t caps = node_caps(cap);
    return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING) && !is_loopback(cap);
}

}  // namespace trelvo_platform
