#pragma once

#include <pybind11/pybind11.h>

// The interpreter functions below exist only from Python 3.13 on. Referenced weakly, they let an
// older interpreter load the module with its default (immediate) binding, so that the module's
// own version check runs and refuses it with its message instead of the loader failing first.
// Every file that includes the binding library includes this one, so every reference is weak.
#if defined(__ELF__)
#pragma weak PyThreadState_GetUnchecked
#pragma weak PyObject_VisitManagedDict
#pragma weak PyObject_ClearManagedDict
#endif

// CameraFormat, then CameraInfo, with their read-only members and text forms.
void bind_camera_records(pybind11::module_& m);
// VideoCapture over the capture session.
void bind_video_capture(pybind11::module_& m);
