// Media Foundation source reader.
#pragma once

// Like the SDK's header, it does not include mfidl.h: include that first.
#include <mfobjects.h>

enum MF_SOURCE_READER_CONSTANTS : DWORD {
    MF_SOURCE_READER_INVALID_STREAM_INDEX = 0xFFFFFFFF,
    MF_SOURCE_READER_ALL_STREAMS = 0xFFFFFFFE,
    MF_SOURCE_READER_ANY_STREAM = 0xFFFFFFFE,
    MF_SOURCE_READER_FIRST_AUDIO_STREAM = 0xFFFFFFFD,
    MF_SOURCE_READER_FIRST_VIDEO_STREAM = 0xFFFFFFFC,
    MF_SOURCE_READER_MEDIASOURCE = 0xFFFFFFFF,
};

enum MF_SOURCE_READER_FLAG : DWORD {
    MF_SOURCE_READERF_ERROR = 0x1,
    MF_SOURCE_READERF_ENDOFSTREAM = 0x2,
    MF_SOURCE_READERF_NEWSTREAM = 0x4,
    MF_SOURCE_READERF_NATIVEMEDIATYPECHANGED = 0x10,
    MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED = 0x20,
    MF_SOURCE_READERF_STREAMTICK = 0x100,
    MF_SOURCE_READERF_ALLEFFECTSREMOVED = 0x200,
};

struct IMFSourceReader : IUnknown {
    virtual HRESULT GetStreamSelection(DWORD stream_index, BOOL* selected) = 0;
    virtual HRESULT SetStreamSelection(DWORD stream_index, BOOL selected) = 0;
    virtual HRESULT GetNativeMediaType(DWORD stream_index, DWORD media_type_index, IMFMediaType** media_type) = 0;
    virtual HRESULT GetCurrentMediaType(DWORD stream_index, IMFMediaType** media_type) = 0;
    virtual HRESULT SetCurrentMediaType(DWORD stream_index, DWORD* reserved, IMFMediaType* media_type) = 0;
    // Synchronous read: blocks until a sample, a stream event or an error. Flush or a shutdown of
    // the source from another thread makes a waiting read return.
    virtual HRESULT ReadSample(DWORD stream_index, DWORD control_flags, DWORD* actual_stream_index,
                               DWORD* stream_flags, LONGLONG* timestamp, IMFSample** sample) = 0;
    virtual HRESULT Flush(DWORD stream_index) = 0;

protected:
    ~IMFSourceReader() = default;
};

constexpr IID IID_IMFSourceReader = {0x70ae66f2, 0xc809, 0x4e4f, {0x89, 0x15, 0xbd, 0xcb, 0x40, 0x6b, 0x79, 0x93}};

constexpr GUID MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING = {0xfb394f3d, 0xccf1, 0x42ee, {0xbb, 0xb3, 0xf9, 0xb8, 0x45, 0xd5, 0x68, 0x1d}};

extern "C" {
MFCOMPAT_API HRESULT MFCreateSourceReaderFromMediaSource(IMFMediaSource* source, IMFAttributes* attributes,
                                                         IMFSourceReader** reader);
}
