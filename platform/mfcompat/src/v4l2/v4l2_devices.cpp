#include "camera_device.h"

namespace mfcompat {

std::vector<std::shared_ptr<CameraDevice>> v4l2_devices() { return {}; }

}  // namespace mfcompat
