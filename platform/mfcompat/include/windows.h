// Windows base types and calls used by the system, served on Linux by libmfcompat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#define MFCOMPAT_API __attribute__((visibility("default")))

typedef int32_t HRESULT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int64_t LONGLONG;
typedef uint8_t BYTE;
typedef int BOOL;
// 16-bit like Windows' wchar_t, so text stays UTF-16; a literal of it is written OLESTR("..."),
// which is L"..." on Windows: a u"..." literal would not compile there.
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
#define OLESTR(str) u##str

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define MFCOMPAT_HR(x) ((HRESULT)(uint32_t)(x))

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL MFCOMPAT_HR(0x80004001)
#define E_NOINTERFACE MFCOMPAT_HR(0x80004002)
#define E_POINTER MFCOMPAT_HR(0x80004003)
#define E_ABORT MFCOMPAT_HR(0x80004004)
#define E_FAIL MFCOMPAT_HR(0x80004005)
#define E_UNEXPECTED MFCOMPAT_HR(0x8000FFFF)
#define E_OUTOFMEMORY MFCOMPAT_HR(0x8007000E)
#define E_INVALIDARG MFCOMPAT_HR(0x80070057)
#define E_ACCESSDENIED MFCOMPAT_HR(0x80070005)

extern "C" {
// The operating system's millisecond sleep. The simulated platform may run it on a faster clock.
MFCOMPAT_API void Sleep(DWORD milliseconds);
}
