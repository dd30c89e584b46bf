#pragma once

#include "devices/camera_records.h"

#include <mfidl.h>
#include <wrl/client.h>

// A platform-allocated string attribute, copied out and freed; empty when it cannot be read.
WideString read_allocated_string(IMFAttributes* attributes, REFGUID key);

// Takes over the reference that an array filled by MFEnumDeviceSources holds in `slot` and empties
// the slot. Not ComPtr::Attach: some mingw-w64 versions add a reference there (Microsoft's does
// not), which would keep every device alive.
Microsoft::WRL::ComPtr<IMFActivate> take_device(IMFActivate*& slot);
