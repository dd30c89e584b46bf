#include "devices/camera_enumeration.h"

#include "devices/allocated_string.h"

#include <mfidl.h>
#include <mfreadwrite.h>
#include <objbase.h>
#include <wrl/client.h>

#include <set>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {

WideString registry_text(const GUID& subtype) {
    WideString text;
    LPOLESTR value = nullptr;
    if (SUCCEEDED(StringFromCLSID(subtype, &value)) && value) text = value;
    CoTaskMemFree(value);
    return text;
}

// The de-duplication key "%ux%u@%ufps-%s" of one format.
WideString format_label(const CameraFormat& format) {
    std::string numbers = std::to_string(format.width) + "x" + std::to_string(format.height) + "@" +
                          std::to_string(format.fps) + "fps-";
    WideString label(numbers.begin(), numbers.end());
    label += format.subtype_name;
    return label;
}

// Values of the attributes read last in this enumeration, carried over to a media type that
// lacks one. Before anything was read a format gets 0 x 0, 0/0 (so fps 0) and the null GUID.
// Kept across cameras on purpose: the listing stays what the Windows code has always given.
struct LastRead {
    UINT64 frame_size = 0;
    UINT64 frame_rate = 0;
    GUID subtype = GUID_NULL;
};

void list_native_formats(IMFSourceReader* reader, LastRead& last, std::vector<CameraFormat>& formats) {
    for (DWORD index = 0;; ++index) {
        ComPtr<IMFMediaType> type;
        if (FAILED(reader->GetNativeMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, index, type.GetAddressOf())) ||
            !type) {
            break;
        }
        UINT64 value = 0;
        if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_SIZE, &value))) last.frame_size = value;
        if (SUCCEEDED(type->GetUINT64(MF_MT_FRAME_RATE, &value))) last.frame_rate = value;
        GUID subtype{};
        if (SUCCEEDED(type->GetGUID(MF_MT_SUBTYPE, &subtype))) last.subtype = subtype;

        CameraFormat format;
        format.width = UINT32(last.frame_size >> 32);
        format.height = UINT32(last.frame_size);
        const UINT32 numerator = UINT32(last.frame_rate >> 32);
        const UINT32 denominator = UINT32(last.frame_rate);
        format.fps = denominator == 0 ? 0 : numerator / denominator;
        format.subtype_guid = last.subtype;
        auto name = name_for_subtype(last.subtype);
        format.subtype_name = name ? *name : registry_text(last.subtype);
        formats.push_back(std::move(format));
    }
}

// Keeps the first occurrence of each label, in the device's own order.
void remove_duplicates(std::vector<CameraFormat>& formats) {
    std::set<WideString> seen;
    for (auto it = formats.begin(); it != formats.end();) {
        if (seen.insert(format_label(*it)).second) {
            ++it;
        } else {
            it = formats.erase(it);
        }
    }
}

}  // namespace

std::vector<CameraInfo> enumerate_cameras() {
    std::vector<CameraInfo> cameras;
    ComPtr<IMFAttributes> attributes;
    if (FAILED(MFCreateAttributes(attributes.GetAddressOf(), 1)) || !attributes) return cameras;
    attributes->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);

    IMFActivate** devices = nullptr;
    UINT32 count = 0;
    if (FAILED(MFEnumDeviceSources(attributes.Get(), &devices, &count))) return cameras;

    LastRead last;
    for (UINT32 i = 0; i < count; ++i) {
        ComPtr<IMFActivate> activate = take_device(devices[i]);
        if (!activate) continue;

        CameraInfo info;
        info.name = read_allocated_string(activate.Get(), MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME);
        info.device_id = read_allocated_string(activate.Get(), MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK);

        ComPtr<IMFMediaSource> source;
        if (SUCCEEDED(activate->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(source.GetAddressOf()))) &&
            source) {
            ComPtr<IMFPresentationDescriptor> descriptor;
            if (SUCCEEDED(source->CreatePresentationDescriptor(descriptor.GetAddressOf()))) {
                ComPtr<IMFSourceReader> reader;
                if (SUCCEEDED(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, reader.GetAddressOf())) &&
                    reader) {
                    list_native_formats(reader.Get(), last, info.formats);
                    remove_duplicates(info.formats);
                }
            }
        }
        cameras.push_back(std::move(info));
    }
    CoTaskMemFree(devices);
    return cameras;
}
