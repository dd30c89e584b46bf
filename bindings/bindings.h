#pragma once

#include <pybind11/pybind11.h>

// CameraFormat, then CameraInfo, with their read-only members and text forms.
void bind_camera_records(pybind11::module_& m);
// VideoCapture over the capture session.
void bind_video_capture(pybind11::module_& m);
