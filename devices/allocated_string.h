#pragma once

#include "devices/camera_records.h"

#include <mfidl.h>
#include <wrl/client.h>

// A platform-allocated string attribute, copied out and freed; empty when it cannot be read.
WideString read_allocated_string(IMFAttributes* attributes, REFGUID key);

// Takes over the reference that an array filled by MFEnumDeviceSources holds in `slot` and empties
// the slot. Not ComPtr::Attach: mingw-w64's before version 12 adds a reference there, which
// would keep every device alive.
Microsoft::WRL::ComPtr<IMFActivate> take_device(IMFActivate*& slot);
