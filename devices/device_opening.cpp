// Opening one camera as a media source with a synchronous reader at the session's format.
//
// What the slots hold when opening fails:
//   enumeration fails            -> false, both slots unchanged
//   no device has this identity  -> false, "source is null", both unchanged
//   the device cannot activate   -> false, "source is null", source slot empty, reader unchanged
//   reader creation fails        -> false, new source, reader slot empty
//   the format is refused        -> false, new source, new reader without that format
#include "devices/device_opening.h"

#include "capture/video_capture.h"
#include "devices/allocated_string.h"
#include "common/diagnostic_line.h"

#include <mfapi.h>
#include <mfidl.h>
#include <objbase.h>

using Microsoft::WRL::ComPtr;

bool open_device(PyVideoCapture& session, const WideString& device_id, ComPtr<IMFMediaSource>& source_slot,
                 ComPtr<IMFSourceReader>& reader_slot) {
    ComPtr<IMFAttributes> attributes;
    MFCreateAttributes(attributes.GetAddressOf(), 1);
    if (!attributes) return false;
    attributes->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    attributes->SetUINT32(MF_LOW_LATENCY, 1);
    attributes->SetUINT32(MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING, 0);

    IMFActivate** devices = nullptr;
    UINT32 count = 0;
    if (FAILED(MFEnumDeviceSources(attributes.Get(), &devices, &count))) return false;

    // Every device is visited (each is taken and released here); when several match, the last one
    // wins: no early exit, on purpose.
    bool matched = false;
    for (UINT32 i = 0; i < count; ++i) {
        ComPtr<IMFActivate> activate = take_device(devices[i]);
        if (!activate) continue;
        if (read_allocated_string(activate.Get(), MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK) == device_id) {
            matched = true;
            ComPtr<IMFMediaSource> activated;
            activate->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(activated.GetAddressOf()));
            source_slot = activated;
        }
    }
    CoTaskMemFree(devices);

    if (!matched || !source_slot) {
        diagnostic_line("source is null\n");
        return false;
    }

    reader_slot.Reset();
    if (FAILED(MFCreateSourceReaderFromMediaSource(source_slot.Get(), nullptr, reader_slot.GetAddressOf())) ||
        !reader_slot) {
        reader_slot.Reset();
        return false;
    }

    ComPtr<IMFMediaType> type;
    if (FAILED(MFCreateMediaType(type.GetAddressOf())) || !type) return false;
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, session.subtype);
    type->SetUINT64(MF_MT_FRAME_SIZE, Pack2UINT32AsUINT64(UINT32(session.width), UINT32(session.height)));
    type->SetUINT64(MF_MT_FRAME_RATE, Pack2UINT32AsUINT64(UINT32(session.fps), 1));
    return SUCCEEDED(reader_slot->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()));
}

void release_device(ComPtr<IMFSourceReader> reader, ComPtr<IMFMediaSource> source) {
    if (reader) {
        reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
        reader.Reset();
    }
    if (source) {
        source->Shutdown();
        source.Reset();
    }
}
