#include "bindings/bindings.h"
#include "devices/camera_records.h"

#include <pybind11/stl.h>

namespace py = pybind11;

void bind_camera_records(py::module_& m) {
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
}
