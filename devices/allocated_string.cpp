#include "devices/allocated_string.h"

#include <objbase.h>

WideString read_allocated_string(IMFAttributes* attributes, REFGUID key) {
    WideString text;
    LPWSTR value = nullptr;
    UINT32 length = 0;
    if (SUCCEEDED(attributes->GetAllocatedString(key, &value, &length)) && value) text.assign(value, length);
    CoTaskMemFree(value);
    return text;
}

Microsoft::WRL::ComPtr<IMFActivate> take_device(IMFActivate*& slot) {
    Microsoft::WRL::ComPtr<IMFActivate> device(slot);  // adds a reference
    if (slot) slot->Release();                          // and drops the array's
    slot = nullptr;
    return device;
}
