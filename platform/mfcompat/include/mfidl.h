// Media Foundation sources, activation objects and device enumeration.
#pragma once

#include <mfobjects.h>

struct IMFPresentationDescriptor : IMFAttributes {
    virtual HRESULT GetStreamDescriptorCount(DWORD* count) = 0;

protected:
    ~IMFPresentationDescriptor() = default;
};

struct IMFMediaSource : IUnknown {
    virtual HRESULT GetCharacteristics(DWORD* characteristics) = 0;
    virtual HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) = 0;
    virtual HRESULT Shutdown() = 0;

protected:
    ~IMFMediaSource() = default;
};

struct IMFActivate : IMFAttributes {
    virtual HRESULT ActivateObject(REFIID riid, void** object) = 0;
    virtual HRESULT ShutdownObject() = 0;
    virtual HRESULT DetachObject() = 0;

protected:
    ~IMFActivate() = default;
};

constexpr IID IID_IMFPresentationDescriptor = {0x03cb2711, 0x24d7, 0x4db6, {0xa1, 0x7f, 0xf3, 0xa7, 0xa4, 0x79, 0xa5, 0x36}};
constexpr IID IID_IMFMediaSource = {0x279a808d, 0xaec7, 0x40c8, {0x9c, 0x6b, 0xa6, 0xb4, 0x92, 0xc7, 0x8a, 0x66}};
constexpr IID IID_IMFActivate = {0x7fee9e9a, 0x4a89, 0x47a6, {0x89, 0x9c, 0xb6, 0xa5, 0x3a, 0x70, 0xfb, 0x67}};

constexpr GUID MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE = {0xc60ac5fe, 0x252a, 0x478f, {0xa0, 0xef, 0xbc, 0x8f, 0xa5, 0xf7, 0xca, 0xd3}};
constexpr GUID MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID = {0x8ac3587a, 0x4ae7, 0x42d8, {0x99, 0xe0, 0x0a, 0x60, 0x13, 0xee, 0xf9, 0x0f}};
constexpr GUID MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME = {0x60d0e559, 0x52f8, 0x4fa2, {0xbb, 0xce, 0xac, 0xdb, 0x34, 0xa8, 0xec, 0x01}};
constexpr GUID MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK = {0x58f0aad8, 0x22bf, 0x4f8a, {0xbb, 0x3d, 0xd2, 0xc4, 0x97, 0x8c, 0x6e, 0x2f}};
constexpr GUID MF_LOW_LATENCY = {0x9c27891a, 0xed7a, 0x40e1, {0x88, 0xe8, 0xb2, 0x27, 0x27, 0xa0, 0x24, 0xee}};

extern "C" {
// Lists the capture devices selected by the attributes (MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE).
// The array and each object are the caller's: Release each, then CoTaskMemFree the array.
MFCOMPAT_API HRESULT MFEnumDeviceSources(IMFAttributes* attributes, IMFActivate*** sources, UINT32* count);
}
