// Media Foundation object interfaces: attributes, media types, samples, buffers.
#pragma once

#include <objbase.h>

enum MF_ATTRIBUTE_TYPE {
    MF_ATTRIBUTE_UINT32 = 19,
    MF_ATTRIBUTE_UINT64 = 21,
    MF_ATTRIBUTE_DOUBLE = 5,
    MF_ATTRIBUTE_GUID = 72,
    MF_ATTRIBUTE_STRING = 31,
    MF_ATTRIBUTE_BLOB = 0x1011,
    MF_ATTRIBUTE_IUNKNOWN = 13,
};

struct IMFAttributes : IUnknown {
    virtual HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) = 0;
    virtual HRESULT GetUINT32(REFGUID key, UINT32* value) = 0;
    virtual HRESULT GetUINT64(REFGUID key, UINT64* value) = 0;
    virtual HRESULT GetGUID(REFGUID key, GUID* value) = 0;
    virtual HRESULT GetStringLength(REFGUID key, UINT32* length) = 0;
    virtual HRESULT GetString(REFGUID key, LPWSTR buffer, UINT32 buffer_size, UINT32* length) = 0;
    // The string is allocated with CoTaskMemAlloc; the caller frees it with CoTaskMemFree.
    virtual HRESULT GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) = 0;
    virtual HRESULT SetUINT32(REFGUID key, UINT32 value) = 0;
    virtual HRESULT SetUINT64(REFGUID key, UINT64 value) = 0;
    virtual HRESULT SetGUID(REFGUID key, REFGUID value) = 0;
    virtual HRESULT SetString(REFGUID key, LPCWSTR value) = 0;
    virtual HRESULT DeleteItem(REFGUID key) = 0;
    virtual HRESULT DeleteAllItems() = 0;
    virtual HRESULT GetCount(UINT32* count) = 0;

protected:
    ~IMFAttributes() = default;
};

struct IMFMediaType : IMFAttributes {
    virtual HRESULT GetMajorType(GUID* major_type) = 0;

protected:
    ~IMFMediaType() = default;
};

struct IMFMediaBuffer : IUnknown {
    virtual HRESULT Lock(BYTE** data, DWORD* max_length, DWORD* current_length) = 0;
    virtual HRESULT Unlock() = 0;
    virtual HRESULT GetCurrentLength(DWORD* length) = 0;
    virtual HRESULT SetCurrentLength(DWORD length) = 0;
    virtual HRESULT GetMaxLength(DWORD* length) = 0;

protected:
    ~IMFMediaBuffer() = default;
};

struct IMFSample : IMFAttributes {
    virtual HRESULT GetSampleTime(LONGLONG* time) = 0;
    virtual HRESULT SetSampleTime(LONGLONG time) = 0;
    virtual HRESULT GetBufferCount(DWORD* count) = 0;
    virtual HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) = 0;
    virtual HRESULT ConvertToContiguousBuffer(IMFMediaBuffer** buffer) = 0;
    virtual HRESULT AddBuffer(IMFMediaBuffer* buffer) = 0;
    virtual HRESULT GetTotalLength(DWORD* length) = 0;

protected:
    ~IMFSample() = default;
};

// {2cd2d921-c447-44a7-a13c-4adabfc247e3}
constexpr IID IID_IMFAttributes = {0x2cd2d921, 0xc447, 0x44a7, {0xa1, 0x3c, 0x4a, 0xda, 0xbf, 0xc2, 0x47, 0xe3}};
// {44ae0fa8-ea31-4109-8d2e-4cae4997c555}
constexpr IID IID_IMFMediaType = {0x44ae0fa8, 0xea31, 0x4109, {0x8d, 0x2e, 0x4c, 0xae, 0x49, 0x97, 0xc5, 0x55}};
// {045fa593-8799-42b8-bc8d-8968c6453507}
constexpr IID IID_IMFMediaBuffer = {0x045fa593, 0x8799, 0x42b8, {0xbc, 0x8d, 0x89, 0x68, 0xc6, 0x45, 0x35, 0x07}};
// {c40a00f2-b93a-4d80-ae8c-5a1c634f58e4}
constexpr IID IID_IMFSample = {0xc40a00f2, 0xb93a, 0x4d80, {0xae, 0x8c, 0x5a, 0x1c, 0x63, 0x4f, 0x58, 0xe4}};
