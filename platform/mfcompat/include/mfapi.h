// Media Foundation platform calls, attribute keys and video subtypes.
#pragma once

#include <mfobjects.h>

#define MF_SDK_VERSION 0x0002
#define MF_API_VERSION 0x0070
#define MF_VERSION (MF_SDK_VERSION << 16 | MF_API_VERSION)
#define MFSTARTUP_NOSOCKET 0x1
#define MFSTARTUP_LITE (MFSTARTUP_NOSOCKET)
#define MFSTARTUP_FULL 0

// FourCC-based video subtype: {fourcc-0000-0010-8000-00AA00389B71}
constexpr GUID MFCOMPAT_FOURCC_SUBTYPE(uint32_t first_field) {
    return GUID{first_field, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
constexpr uint32_t MFCOMPAT_FOURCC(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}

constexpr GUID MFMediaType_Video = MFCOMPAT_FOURCC_SUBTYPE(0x73646976);  // 'vids'
constexpr GUID MFVideoFormat_RGB24 = MFCOMPAT_FOURCC_SUBTYPE(20);
constexpr GUID MFVideoFormat_MJPG = MFCOMPAT_FOURCC_SUBTYPE(MFCOMPAT_FOURCC('M', 'J', 'P', 'G'));
constexpr GUID MFVideoFormat_NV12 = MFCOMPAT_FOURCC_SUBTYPE(MFCOMPAT_FOURCC('N', 'V', '1', '2'));
constexpr GUID MFVideoFormat_YUY2 = MFCOMPAT_FOURCC_SUBTYPE(MFCOMPAT_FOURCC('Y', 'U', 'Y', '2'));
constexpr GUID MFVideoFormat_I420 = MFCOMPAT_FOURCC_SUBTYPE(MFCOMPAT_FOURCC('I', '4', '2', '0'));
constexpr GUID MFVideoFormat_P010 = MFCOMPAT_FOURCC_SUBTYPE(MFCOMPAT_FOURCC('P', '0', '1', '0'));

constexpr GUID MF_MT_MAJOR_TYPE = {0x48eba18e, 0xf8c9, 0x4687, {0xbf, 0x11, 0x0a, 0x74, 0xc9, 0xf9, 0x6a, 0x8f}};
constexpr GUID MF_MT_SUBTYPE = {0xf7e34c9a, 0x42e8, 0x4714, {0xb7, 0x4b, 0xcb, 0x29, 0xd7, 0x2c, 0x35, 0xe5}};
constexpr GUID MF_MT_FRAME_SIZE = {0x1652c33d, 0xd6b2, 0x4012, {0xb8, 0x34, 0x72, 0x03, 0x08, 0x49, 0xa3, 0x7d}};
constexpr GUID MF_MT_FRAME_RATE = {0xc459a2e8, 0x3d2c, 0x4e44, {0xb1, 0x32, 0xfe, 0xe5, 0x15, 0x6c, 0x7b, 0xb0}};

extern "C" {
MFCOMPAT_API HRESULT MFStartup(ULONG version, DWORD flags);
MFCOMPAT_API HRESULT MFShutdown();
MFCOMPAT_API HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32 initial_size);
MFCOMPAT_API HRESULT MFCreateMediaType(IMFMediaType** media_type);
MFCOMPAT_API HRESULT MFCreateSample(IMFSample** sample);
MFCOMPAT_API HRESULT MFCreateMemoryBuffer(DWORD max_length, IMFMediaBuffer** buffer);
}

// Packs two 32-bit values into a 64-bit attribute: high word first, as MFSetAttributeSize does.
inline UINT64 Pack2UINT32AsUINT64(UINT32 high, UINT32 low) { return (UINT64(high) << 32) | low; }
inline void Unpack2UINT32AsUINT64(UINT64 value, UINT32* high, UINT32* low) {
    *high = UINT32(value >> 32);
    *low = UINT32(value);
}
