// The camera records handed to Python, and the names of their subtypes.
#pragma once

#include "common/subtype_table.h"

#include <mfapi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// UTF-16 text, as the platform delivers names and identities.
using WideString = std::basic_string<WCHAR>;

struct CameraFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;
    GUID subtype_guid{};
    WideString subtype_name;
};

struct CameraInfo {
    WideString name;
    WideString device_id;
    std::vector<CameraFormat> formats;
};

// The table's name for a subtype (all 128 bits compared), or nothing.
inline std::optional<WideString> name_for_subtype(const GUID& subtype) {
    const SubtypeRow* row = find_subtype(subtype);
    if (row == nullptr) return std::nullopt;
    return WideString(row->name);
}

// The subtype a name requests: exact, case-sensitive; anything outside the table gives RGB24.
inline GUID subtype_for_name(const WideString& name) {
    for (const SubtypeRow& row : kSubtypeTable) {
        if (name == row.name) return row.subtype;
    }
    return MFVideoFormat_RGB24;
}
