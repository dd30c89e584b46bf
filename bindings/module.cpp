// The extension module: version guard and multi-phase initialisation come from PYBIND11_MODULE;
// the module refuses sub-interpreters and declares nothing about running without the GIL, on
// purpose: the virtual camera, the session registry and the platform are process-wide, made for one
// interpreter, and start relies on holding its lock.
#include "bindings/bindings.h"

#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(trelvo, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Simplified video capture module (no frame reading)";
    bind_camera_records(m);
    bind_video_capture(m);
}
