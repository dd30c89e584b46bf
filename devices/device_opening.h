#pragma once

#include "devices/camera_records.h"

#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

class PyVideoCapture;

// Opens the camera whose symbolic link equals device_id (code unit by code unit) with the
// session's width, height, fps and subtype. See the slot table in device_opening.cpp.
bool open_device(PyVideoCapture& session, const WideString& device_id,
                 Microsoft::WRL::ComPtr<IMFMediaSource>& source_slot,
                 Microsoft::WRL::ComPtr<IMFSourceReader>& reader_slot);

// Flushes the reader's first video stream and shuts the source down; either may be empty.
// Takes its own references, so the caller's slots keep theirs.
void release_device(Microsoft::WRL::ComPtr<IMFSourceReader> reader, Microsoft::WRL::ComPtr<IMFMediaSource> source);
