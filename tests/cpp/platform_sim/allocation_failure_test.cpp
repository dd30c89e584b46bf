// Running out of memory inside a Media Foundation method gives its caller E_OUTOFMEMORY, never a
// C++ exception: the methods are called from capture threads, where an exception would end the
// host process. This program's allocator fails on request, for allocations of a given size up.
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <mfcompat/simulated_camera.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>

namespace {
// Allocations of at least this many bytes fail while set.
std::atomic<size_t> g_fail_from{0};
}  // namespace

// Out of line, so that the compiler does not pair a visible new-expression with free().
[[gnu::noinline]] void* operator new(size_t size) {
    const size_t fail_from = g_fail_from.load(std::memory_order_relaxed);
    if (fail_from != 0 && size >= fail_from) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using Microsoft::WRL::ComPtr;
namespace sim = mfcompat::sim;

constexpr size_t kLimit = 64 * 1024;

struct FailLargeAllocations {
    FailLargeAllocations() { g_fail_from = kLimit; }
    ~FailLargeAllocations() { g_fail_from = 0; }
};

ComPtr<IMFSourceReader> open_reader(const std::u16string& link, UINT32 w, UINT32 h) {
    ComPtr<IMFAttributes> attributes;
    EXPECT_EQ(MFCreateAttributes(attributes.GetAddressOf(), 1), S_OK);
    attributes->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    IMFActivate** array = nullptr;
    UINT32 count = 0;
    EXPECT_EQ(MFEnumDeviceSources(attributes.Get(), &array, &count), S_OK);
    ComPtr<IMFActivate> activate;
    for (UINT32 i = 0; i < count; ++i) {
        if (i == 0) activate = array[i];
        array[i]->Release();
    }
    CoTaskMemFree(array);
    ComPtr<IMFMediaSource> source;
    ComPtr<IMFSourceReader> reader;
    if (!activate || FAILED(activate->ActivateObject(IID_IMFMediaSource, reinterpret_cast<void**>(source.GetAddressOf()))) ||
        FAILED(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, reader.GetAddressOf())))
        return nullptr;
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(type.GetAddressOf());
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_RGB24);
    type->SetUINT64(MF_MT_FRAME_SIZE, Pack2UINT32AsUINT64(w, h));
    type->SetUINT64(MF_MT_FRAME_RATE, Pack2UINT32AsUINT64(30, 1));
    EXPECT_EQ(reader->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, type.Get()), S_OK);
    return reader;
}

TEST(AllocationFailure, MethodsAnswerOutOfMemoryAndWorkAgainAfterwards) {
    sim::remove_all_cameras();
    sim::CameraConfig config;
    config.friendly_name = u"Large";
    config.symbolic_link = u"large";
    config.formats = {sim::format(MFVideoFormat_RGB24, 321, 241, 30, 1)};  // 232 083 bytes a frame
    config.paced = false;
    ASSERT_GE(sim::add_camera(config), 0);
    ComPtr<IMFSourceReader> reader = open_reader(u"large", 321, 241);
    ASSERT_TRUE(reader);

    ComPtr<IMFSample> joined_from;
    ASSERT_EQ(MFCreateSample(joined_from.GetAddressOf()), S_OK);
    for (int i = 0; i < 2; ++i) {
        ComPtr<IMFMediaBuffer> half;
        ASSERT_EQ(MFCreateMemoryBuffer(DWORD(kLimit / 2 + 16), half.GetAddressOf()), S_OK);
        half->SetCurrentLength(DWORD(kLimit / 2 + 16));
        joined_from->AddBuffer(half.Get());
    }
    const std::u16string long_text(kLimit, u'x');

    struct Call {
        const char* name;
        std::function<HRESULT()> call;
    };
    const Call calls[] = {
        {"ReadSample",
         [&] {
             DWORD flags = 0;
             ComPtr<IMFSample> sample;
             HRESULT hr = reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, &flags, nullptr,
                                             sample.GetAddressOf());
             if (SUCCEEDED(hr) && !sample) hr = S_FALSE;
             return hr;
         }},
        {"MFCreateMemoryBuffer",
         [] {
             ComPtr<IMFMediaBuffer> buffer;
             return MFCreateMemoryBuffer(DWORD(kLimit), buffer.GetAddressOf());
         }},
        {"ConvertToContiguousBuffer",
         [&] {
             ComPtr<IMFMediaBuffer> joined;
             return joined_from->ConvertToContiguousBuffer(joined.GetAddressOf());
         }},
        {"SetString",
         [&] {
             ComPtr<IMFAttributes> attributes;
             MFCreateAttributes(attributes.GetAddressOf(), 1);
             return attributes->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME,
                                          reinterpret_cast<LPCWSTR>(long_text.c_str()));
         }},
    };
    for (const Call& c : calls) {
        {
            FailLargeAllocations failing;
            EXPECT_EQ(c.call(), E_OUTOFMEMORY) << c.name;
        }
        EXPECT_EQ(c.call(), S_OK) << c.name << " after memory is back";
    }
    reader.Reset();
    sim::remove_all_cameras();
}

}  // namespace
