#include "bindings/bindings.h"
#include "capture/video_capture.h"

#include <pybind11/stl.h>

namespace py = pybind11;

void bind_video_capture(py::module_& m) {
    py::class_<PyVideoCapture>(m, "VideoCapture")
        .def(py::init<>())
        .def("enumerate_cameras", &PyVideoCapture::enumerate_cameras, py::return_value_policy::move,
             "Enumerate all available cameras")
        .def("start", &PyVideoCapture::start, py::arg("device_1"), py::arg("device_2"), py::arg("width"),
             py::arg("height"), py::arg("fps"), py::arg("subtype_name"), py::arg("type"), "Start video capture")
        .def("stop", &PyVideoCapture::stop, "Stop video capture")
        .def("switch_camera", &PyVideoCapture::switch_camera, "Switch Capture Device")
        .def("is_running", &PyVideoCapture::is_running, "Check if capture is running");
}
