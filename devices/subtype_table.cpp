#include "devices/camera_records.h"

namespace {

struct SubtypeRow {
    const OLECHAR* name;
    GUID subtype;
};

// Lookup order of subtype_for_name. RGB24 is the fallback and is named only by name_for_subtype.
const SubtypeRow kNamedSubtypes[] = {
    {OLESTR("MJPEG"), MFVideoFormat_MJPG}, {OLESTR("NV12"), MFVideoFormat_NV12},
    {OLESTR("YUY2"), MFVideoFormat_YUY2},  {OLESTR("I420"), MFVideoFormat_I420},
    {OLESTR("P10"), MFVideoFormat_P010},
};

}  // namespace

std::optional<WideString> name_for_subtype(const GUID& subtype) {
    for (const auto& row : kNamedSubtypes) {
        if (IsEqualGUID(row.subtype, subtype)) return WideString(row.name);
    }
    if (IsEqualGUID(MFVideoFormat_RGB24, subtype)) return WideString(OLESTR("RGB24"));
    return std::nullopt;
}

GUID subtype_for_name(const WideString& name) {
    for (const auto& row : kNamedSubtypes) {
        if (name == row.name) return row.subtype;
    }
    return MFVideoFormat_RGB24;
}
