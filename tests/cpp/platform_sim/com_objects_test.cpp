// The COM layer of the camera platform: reference counts, attribute stores, media objects and
// the process-wide calls.
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfcompat/platform_counters.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <cstring>
#include <cmath>
#include <string>

using Microsoft::WRL::ComPtr;

namespace {

std::u16string take_text(LPWSTR text) {
    std::u16string out = text ? std::u16string(text) : std::u16string();
    CoTaskMemFree(text);
    return out;
}

TEST(ComObjects, ReferenceCountsFreeObjectsAtZero) {
    const int64_t before = mfcompat_live_objects();
    IMFMediaType* type = nullptr;
    ASSERT_EQ(MFCreateMediaType(&type), S_OK);
    EXPECT_EQ(mfcompat_live_objects(), before + 1);
    EXPECT_EQ(type->AddRef(), 2u);

    IMFAttributes* as_attributes = nullptr;
    ASSERT_EQ(type->QueryInterface(IID_IMFAttributes, reinterpret_cast<void**>(&as_attributes)), S_OK);
    EXPECT_EQ(static_cast<IMFAttributes*>(type), as_attributes);
    EXPECT_EQ(as_attributes->Release(), 2u);

    void* other = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(type->QueryInterface(IID_IMFSample, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(type->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    EXPECT_EQ(type->Release(), 1u);
    EXPECT_EQ(mfcompat_live_objects(), before + 1);
    EXPECT_EQ(type->Release(), 0u);
    EXPECT_EQ(mfcompat_live_objects(), before);
}

TEST(ComObjects, EveryFactoryAnswersItsInterfacesAndFreesItsObject) {
    const int64_t before = mfcompat_live_objects();
    {
        ComPtr<IMFAttributes> attributes;
        ASSERT_EQ(MFCreateAttributes(attributes.GetAddressOf(), 1), S_OK);
        ComPtr<IMFSample> sample;
        ASSERT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
        ComPtr<IMFMediaBuffer> buffer;
        ASSERT_EQ(MFCreateMemoryBuffer(8, buffer.GetAddressOf()), S_OK);
        ASSERT_EQ(sample->AddBuffer(buffer.Get()), S_OK);
        EXPECT_EQ(mfcompat_live_objects(), before + 3);

        ComPtr<IMFSample> again;
        EXPECT_EQ(sample->QueryInterface(IID_IMFSample, reinterpret_cast<void**>(again.GetAddressOf())), S_OK);
        ComPtr<IMFMediaBuffer> as_buffer;
        EXPECT_EQ(buffer->QueryInterface(IID_IMFMediaBuffer, reinterpret_cast<void**>(as_buffer.GetAddressOf())), S_OK);
        ComPtr<IUnknown> none;
        EXPECT_EQ(attributes->QueryInterface(IID_IMFMediaType, reinterpret_cast<void**>(none.GetAddressOf())),
                  E_NOINTERFACE);
    }
    // The sample held a reference to the buffer; all three are gone now.
    EXPECT_EQ(mfcompat_live_objects(), before);
}

TEST(AttributeStore, ValuesRoundTripByType) {
    ComPtr<IMFAttributes> a;
    ASSERT_EQ(MFCreateAttributes(a.GetAddressOf(), 1), S_OK);
    const GUID k32 = MF_LOW_LATENCY, k64 = MF_MT_FRAME_SIZE, kguid = MF_MT_SUBTYPE,
               ktext = MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME;
    ASSERT_EQ(a->SetUINT32(k32, 0xFFFFFFFEu), S_OK);
    ASSERT_EQ(a->SetUINT64(k64, Pack2UINT32AsUINT64(1920, 1080)), S_OK);
    ASSERT_EQ(a->SetGUID(kguid, MFVideoFormat_NV12), S_OK);
    const std::u16string text = u"Cam \u00e9\U0001F3A5";  // includes a surrogate pair
    ASSERT_EQ(a->SetString(ktext, text.c_str()), S_OK);

    UINT32 count = 0;
    ASSERT_EQ(a->GetCount(&count), S_OK);
    EXPECT_EQ(count, 4u);

    UINT32 v32 = 0;
    EXPECT_EQ(a->GetUINT32(k32, &v32), S_OK);
    EXPECT_EQ(v32, 0xFFFFFFFEu);
    UINT64 v64 = 0;
    EXPECT_EQ(a->GetUINT64(k64, &v64), S_OK);
    UINT32 w = 0, h = 0;
    Unpack2UINT32AsUINT64(v64, &w, &h);
    EXPECT_EQ(w, 1920u);
    EXPECT_EQ(h, 1080u);
    GUID g{};
    EXPECT_EQ(a->GetGUID(kguid, &g), S_OK);
    EXPECT_EQ(g, MFVideoFormat_NV12);

    UINT32 length = 0;
    EXPECT_EQ(a->GetStringLength(ktext, &length), S_OK);
    EXPECT_EQ(length, text.size());
    LPWSTR allocated = nullptr;
    UINT32 allocated_length = 0;
    ASSERT_EQ(a->GetAllocatedString(ktext, &allocated, &allocated_length), S_OK);
    EXPECT_EQ(allocated_length, text.size());
    EXPECT_EQ(take_text(allocated), text);

    WCHAR small[4];
    EXPECT_TRUE(FAILED(a->GetString(ktext, small, 4, &length)));
    WCHAR exact[16];
    ASSERT_EQ(a->GetString(ktext, exact, UINT32(text.size() + 1), &length), S_OK);
    EXPECT_EQ(std::u16string(exact), text);

    MF_ATTRIBUTE_TYPE type{};
    EXPECT_EQ(a->GetItemType(k64, &type), S_OK);
    EXPECT_EQ(type, MF_ATTRIBUTE_UINT64);
    EXPECT_EQ(a->GetItemType(ktext, &type), S_OK);
    EXPECT_EQ(type, MF_ATTRIBUTE_STRING);
}

TEST(AttributeStore, WrongTypeMissingKeyOverwriteAndDelete) {
    ComPtr<IMFMediaType> t;
    ASSERT_EQ(MFCreateMediaType(t.GetAddressOf()), S_OK);
    UINT32 v32 = 7;
    UINT64 v64 = 7;
    GUID g{};
    LPWSTR text = reinterpret_cast<LPWSTR>(0x1);
    EXPECT_EQ(t->GetUINT32(MF_MT_FRAME_RATE, &v32), MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(t->GetAllocatedString(MF_MT_FRAME_RATE, &text, nullptr), MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(t->GetMajorType(&g), MF_E_ATTRIBUTENOTFOUND);

    ASSERT_EQ(t->SetUINT32(MF_MT_FRAME_RATE, 5), S_OK);
    EXPECT_EQ(t->GetUINT64(MF_MT_FRAME_RATE, &v64), MF_E_INVALIDTYPE);
    EXPECT_EQ(t->GetGUID(MF_MT_FRAME_RATE, &g), MF_E_INVALIDTYPE);
    // Setting again with another type replaces the value and its type.
    ASSERT_EQ(t->SetUINT64(MF_MT_FRAME_RATE, Pack2UINT32AsUINT64(30000, 1001)), S_OK);
    EXPECT_EQ(t->GetUINT64(MF_MT_FRAME_RATE, &v64), S_OK);
    EXPECT_EQ(v64, Pack2UINT32AsUINT64(30000, 1001));
    EXPECT_EQ(t->GetUINT32(MF_MT_FRAME_RATE, &v32), MF_E_INVALIDTYPE);
    UINT32 count = 0;
    t->GetCount(&count);
    EXPECT_EQ(count, 1u);

    ASSERT_EQ(t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), S_OK);
    EXPECT_EQ(t->GetMajorType(&g), S_OK);
    EXPECT_EQ(g, MFMediaType_Video);

    EXPECT_EQ(t->DeleteItem(MF_MT_FRAME_RATE), S_OK);
    EXPECT_EQ(t->GetUINT64(MF_MT_FRAME_RATE, &v64), MF_E_ATTRIBUTENOTFOUND);
    EXPECT_EQ(t->DeleteAllItems(), S_OK);
    t->GetCount(&count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(t->SetString(MF_MT_SUBTYPE, nullptr), E_POINTER);
}

TEST(GuidText, RegistryFormUpperCaseWithBraces) {
    LPOLESTR text = nullptr;
    ASSERT_EQ(StringFromCLSID(MFVideoFormat_NV12, &text), S_OK);
    EXPECT_EQ(take_text(text), u"{3231564E-0000-0010-8000-00AA00389B71}");

    const GUID mixed = {0x0a1b2c3d, 0x4e5f, 0xabcd, {0xef, 0x01, 0x23, 0x45, 0x67, 0x89, 0xfe, 0xdc}};
    ASSERT_EQ(StringFromCLSID(mixed, &text), S_OK);
    std::u16string s = take_text(text);
    EXPECT_EQ(s.size(), 38u);
    EXPECT_EQ(s, u"{0A1B2C3D-4E5F-ABCD-EF01-23456789FEDC}");
    EXPECT_EQ(StringFromCLSID(mixed, nullptr), E_POINTER);
}

TEST(MediaObjects, BufferLengthsAndLocking) {
    ComPtr<IMFMediaBuffer> b;
    ASSERT_EQ(MFCreateMemoryBuffer(16, b.GetAddressOf()), S_OK);
    BYTE* data = nullptr;
    DWORD max = 0, current = 99;
    ASSERT_EQ(b->Lock(&data, &max, &current), S_OK);
    EXPECT_NE(data, nullptr);
    EXPECT_EQ(max, 16u);
    EXPECT_EQ(current, 0u);
    std::memset(data, 0xAB, 16);
    EXPECT_EQ(b->Unlock(), S_OK);
    EXPECT_TRUE(FAILED(b->Unlock()));  // not locked any more
    EXPECT_EQ(b->SetCurrentLength(17), E_INVALIDARG);
    EXPECT_EQ(b->SetCurrentLength(10), S_OK);
    EXPECT_EQ(b->GetCurrentLength(&current), S_OK);
    EXPECT_EQ(current, 10u);
}

ComPtr<IMFMediaBuffer> filled_buffer(std::initializer_list<uint8_t> bytes) {
    ComPtr<IMFMediaBuffer> b;
    EXPECT_EQ(MFCreateMemoryBuffer(DWORD(bytes.size()), b.GetAddressOf()), S_OK);
    BYTE* data = nullptr;
    b->Lock(&data, nullptr, nullptr);
    std::copy(bytes.begin(), bytes.end(), data);
    b->Unlock();
    b->SetCurrentLength(DWORD(bytes.size()));
    return b;
}

TEST(MediaObjects, ContiguousBufferOfOneAndOfSeveralBuffers) {
    ComPtr<IMFSample> sample;
    ASSERT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    ComPtr<IMFMediaBuffer> out;
    EXPECT_TRUE(FAILED(sample->ConvertToContiguousBuffer(out.GetAddressOf())));

    ComPtr<IMFMediaBuffer> first = filled_buffer({1, 2, 3});
    ASSERT_EQ(sample->AddBuffer(first.Get()), S_OK);
    ASSERT_EQ(sample->ConvertToContiguousBuffer(out.GetAddressOf()), S_OK);
    EXPECT_EQ(out.Get(), first.Get());  // one buffer comes back as it is
    out = nullptr;
    EXPECT_EQ(first->AddRef(), 3u);     // ours and the sample's (plus this one)
    first->Release();

    ASSERT_EQ(sample->AddBuffer(filled_buffer({4, 5}).Get()), S_OK);
    DWORD total = 0;
    EXPECT_EQ(sample->GetTotalLength(&total), S_OK);
    EXPECT_EQ(total, 5u);
    ASSERT_EQ(sample->ConvertToContiguousBuffer(out.GetAddressOf()), S_OK);
    BYTE* data = nullptr;
    DWORD length = 0;
    ASSERT_EQ(out->Lock(&data, nullptr, &length), S_OK);
    ASSERT_EQ(length, 5u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + length), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    out->Unlock();
    DWORD buffers = 0;
    sample->GetBufferCount(&buffers);
    EXPECT_EQ(buffers, 1u);

    LONGLONG time = 0;
    EXPECT_TRUE(FAILED(sample->GetSampleTime(&time)));
    sample->SetSampleTime(12345);
    EXPECT_EQ(sample->GetSampleTime(&time), S_OK);
    EXPECT_EQ(time, 12345);
}

TEST(Platform, StartupAndShutdownAreCounted) {
    const uint64_t starts = mfcompat_startup_count(), stops = mfcompat_shutdown_count();
    EXPECT_EQ(MFStartup(MF_VERSION, 0), S_OK);
    EXPECT_EQ(MFStartup(MF_VERSION, 0), S_OK);
    EXPECT_EQ(MFShutdown(), S_OK);
    EXPECT_EQ(mfcompat_startup_count(), starts + 2);
    EXPECT_EQ(mfcompat_shutdown_count(), stops + 1);
    mfcompat_reset_startup_counts();
    EXPECT_EQ(mfcompat_startup_count(), 0u);
    EXPECT_EQ(mfcompat_shutdown_count(), 0u);
}

TEST(Platform, SleepRunsOnTheScaledClock) {
    using namespace std::chrono;
    ASSERT_EQ(mfcompat_set_clock_scale(0.01), 0);
    EXPECT_DOUBLE_EQ(mfcompat_clock_scale(), 0.01);
    const uint64_t asked = mfcompat_sleep_requested_ms(), calls = mfcompat_sleep_calls();
    auto t0 = steady_clock::now();
    Sleep(5000);
    auto took = steady_clock::now() - t0;
    EXPECT_GE(took, milliseconds(45));
    EXPECT_LT(took, milliseconds(2000));
    EXPECT_EQ(mfcompat_sleep_requested_ms(), asked + 5000);
    EXPECT_EQ(mfcompat_sleep_calls(), calls + 1);

    EXPECT_EQ(mfcompat_set_clock_scale(-1), -1);
    EXPECT_EQ(mfcompat_set_clock_scale(std::nan("")), -1);
    EXPECT_DOUBLE_EQ(mfcompat_clock_scale(), 0.01);

    ASSERT_EQ(mfcompat_set_clock_scale(1.0), 0);
    t0 = steady_clock::now();
    Sleep(30);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(29));
}

TEST(Platform, TickCountAndEventWaitsRunOnTheScaledClock) {
    using namespace std::chrono;
    ASSERT_EQ(mfcompat_set_clock_scale(0.01), 0);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const ULONGLONG ticks = GetTickCount64();
    auto t0 = steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_TIMEOUT);
    EXPECT_GE(steady_clock::now() - t0, milliseconds(45));
    EXPECT_LT(steady_clock::now() - t0, milliseconds(2000));
    EXPECT_GE(GetTickCount64() - ticks, 4900u);  // platform time: the whole wait

    // A set event ends a wait from another thread at once; manual reset keeps it set.
    ASSERT_EQ(mfcompat_set_clock_scale(1.0), 0);
    std::thread setter([&] {
        std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(SetEvent(event), TRUE);
    });
    t0 = steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 60000), WAIT_OBJECT_0);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(5000));
    setter.join();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ResetEvent(event), TRUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_EQ(CloseHandle(event), TRUE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(SetEvent(event), FALSE);
    EXPECT_EQ(CloseHandle(event), FALSE);

    // An auto-reset event lets one wait through per set; named events are not served.
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    EXPECT_EQ(CloseHandle(automatic), TRUE);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"shared"), nullptr);

    // A scale change neither stops the tick count nor sends it back.
    const ULONGLONG before = GetTickCount64();
    ASSERT_EQ(mfcompat_set_clock_scale(0.001), 0);
    EXPECT_GE(GetTickCount64(), before);
    std::this_thread::sleep_for(milliseconds(5));
    EXPECT_GE(GetTickCount64(), before + 4000);
    ASSERT_EQ(mfcompat_set_clock_scale(1.0), 0);
}

}  // namespace
