// The extension module, its whole face in one place: version guard and multi-phase initialisation
// come from PYBIND11_MODULE; the module refuses sub-interpreters and declares nothing about running
// without the GIL, on purpose: the virtual camera, the session registry and the platform are
// process-wide, made for one interpreter, and start relies on holding its lock.
#include "capture/video_capture.h"
#include "devices/camera_records.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>

// The interpreter functions below exist only from Python 3.13 on. Referenced weakly, they let an
// older interpreter load the module with its default (immediate) binding, so that the module's
// own version check runs and refuses it with its message instead of the loader failing first.
#if defined(__ELF__)
#pragma weak PyThreadState_GetUnchecked
#pragma weak PyObject_VisitManagedDict
#pragma weak PyObject_ClearManagedDict
#endif

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

PYBIND11_MODULE(trelvo, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Simplified video capture module (no frame reading)";

    py::class_<CameraFormat>(m, "CameraFormat")
        .def_readonly("width", &CameraFormat::width)
        .def_readonly("height", &CameraFormat::height)
        .def_readonly("fps", &CameraFormat::fps)
        .def_readonly("subtype_name", &CameraFormat::subtype_name)
        .def("__repr__", [](const CameraFormat& format) {
            return py::str("CameraFormat(width={}, height={}, fps={}, subtype={})")
                .format(format.width, format.height, format.fps, format.subtype_name);
        });

    py::class_<CameraInfo>(m, "CameraInfo")
        .def_readonly("name", &CameraInfo::name)
        .def_readonly("device_id", &CameraInfo::device_id)
        .def_readonly("formats", &CameraInfo::formats)
        .def("__repr__", [](const CameraInfo& info) {
            return py::str("CameraInfo(name={}, device_id={}, formats={})")
                .format(info.name, info.device_id, info.formats.size());
        });

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
