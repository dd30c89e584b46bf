#include "devices/camera_records.h"

namespace {

struct SubtypeRow {
    const char16_t* name;
    GUID subtype;
};

// Lookup order of subtype_for_name. RGB24 is the fallback and is named only by name_for_subtype.
const SubtypeRow kNamedSubtypes[] = {
    {u"MJPEG", MFVideoFormat_MJPG}, {u"NV12", MFVideoFormat_NV12}, {u"YUY2", MFVideoFormat_YUY2},
    {u"I420", MFVideoFormat_I420},  {u"P10", MFVideoFormat_P010},
};

}  // namespace

std::optional<WideString> name_for_subtype(const GUID& subtype) {
    for (const auto& row : kNamedSubtypes) {
        if (IsEqualGUID(row.subtype, subtype)) return WideString(row.name);
    }
    if (IsEqualGUID(MFVideoFormat_RGB24, subtype)) return WideString(u"RGB24");
    return std::nullopt;
}

GUID subtype_for_name(const WideString& name) {
    for (const auto& row : kNamedSubtypes) {
        if (name == row.name) return row.subtype;
    }
    return MFVideoFormat_RGB24;
}
