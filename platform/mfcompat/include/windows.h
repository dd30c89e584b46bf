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
typedef uint64_t ULONGLONG;
typedef void* HANDLE;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;

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

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

struct _SECURITY_ATTRIBUTES;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

// Every duration below is platform time: the platform may run its clock faster than the real one
// (tests of long waits), and then sleeps, timed waits and the tick count all follow that clock.
extern "C" {
// The operating system's millisecond sleep.
MFCOMPAT_API void Sleep(DWORD milliseconds);
// Milliseconds of platform time since an arbitrary start.
MFCOMPAT_API ULONGLONG GetTickCount64(void);
// Unnamed events only (name must be null); the security attributes are ignored.
MFCOMPAT_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                                 LPCWSTR name);
MFCOMPAT_API BOOL SetEvent(HANDLE event);
MFCOMPAT_API BOOL ResetEvent(HANDLE event);
// WAIT_OBJECT_0 when the event is set, WAIT_TIMEOUT after `milliseconds` (INFINITE: never),
// WAIT_FAILED for a handle that is not an event.
MFCOMPAT_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
MFCOMPAT_API BOOL CloseHandle(HANDLE handle);
}
