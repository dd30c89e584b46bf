#include "bindings/bindings.h"
#include "capture/video_capture.h"

#include <pybind11/stl.h>

#include <stdexcept>

namespace py = pybind11;

namespace {

// start keeps the interpreter lock while it waits for the cameras, so Python cannot run its
// signal handlers meanwhile; start asks at every poll, and a handler's exception (Ctrl-C's
// KeyboardInterrupt) stops the session and leaves start.
bool start(PyVideoCapture& self, const WideString& device_1, const WideString& device_2, uint32_t width,
           uint32_t height, uint32_t fps, const WideString& subtype_name, int32_t type) {
    // A signal handler that starts this same object again would tear the running start apart.
    if (self.is_starting()) throw std::runtime_error("VideoCapture.start is already running on this object");
    bool raised = false;
    const bool started = self.start(device_1, device_2, width, height, fps, subtype_name, type, [&raised] {
        raised = PyErr_CheckSignals() != 0;
        return raised;
    });
    if (raised) throw py::error_already_set();
    return started;
}

}  // namespace

void bind_video_capture(py::module_& m) {
    py::class_<PyVideoCapture>(m, "VideoCapture")
        .def(py::init<>())
        .def("enumerate_cameras", &PyVideoCapture::enumerate_cameras, py::return_value_policy::move,
             "Enumerate all available cameras")
        .def("start", &start, py::arg("device_1"), py::arg("device_2"), py::arg("width"), py::arg("height"),
             py::arg("fps"), py::arg("subtype_name"), py::arg("type"), "Start video capture")
        .def("stop", &PyVideoCapture::stop, "Stop video capture")
        .def("switch_camera", &PyVideoCapture::switch_camera, "Switch Capture Device")
        .def("is_running", &PyVideoCapture::is_running, "Check if capture is running");
}
