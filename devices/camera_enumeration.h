#pragma once

#include "devices/camera_records.h"

#include <vector>

// Lists the video capture devices with their distinct native formats. Never fails: a platform
// failure shows as a shorter list or a camera without formats.
std::vector<CameraInfo> enumerate_cameras();
