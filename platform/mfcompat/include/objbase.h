// COM base: IUnknown, task memory, GUID text.
#pragma once

#include <windows.h>

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

extern "C" {
MFCOMPAT_API void* CoTaskMemAlloc(size_t size);
MFCOMPAT_API void CoTaskMemFree(void* block);
// Registry text of a GUID: 38 units, braces, hyphens, upper-case hexadecimal; free with CoTaskMemFree.
MFCOMPAT_API HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text);
}
