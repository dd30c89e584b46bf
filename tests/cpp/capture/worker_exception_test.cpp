// What C++ throws on a capture worker stays on it: a picture whose conversion throws is dropped
// and the session goes on; a read that throws ends the session, not the host process.
#include "capture_fixture.h"

#include <mfapi.h>

#include <atomic>
#include <new>

namespace {

using Microsoft::WRL::ComPtr;

template <class Interface>
class Counted : public Interface {
public:
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT QueryInterface(REFIID, void** object) override {
        *object = nullptr;
        return E_NOINTERFACE;
    }

protected:
    virtual ~Counted() = default;

private:
    std::atomic<ULONG> refs_{1};
};

// A buffer whose memory cannot be had: as if the conversion ran out of memory.
class UnlockableBuffer final : public Counted<IMFMediaBuffer> {
public:
    HRESULT Lock(BYTE**, DWORD*, DWORD*) override { throw std::bad_alloc(); }
    HRESULT Unlock() override { return S_OK; }
    HRESULT GetCurrentLength(DWORD* length) override {
        *length = 64 * 48 * 2;
        return S_OK;
    }
    HRESULT SetCurrentLength(DWORD) override { return S_OK; }
    HRESULT GetMaxLength(DWORD* length) override { return GetCurrentLength(length); }
};

enum class Throws { in_conversion, in_read };

// The session's own reader, except that its samples or its reads throw.
class ThrowingReader final : public Counted<IMFSourceReader> {
public:
    ThrowingReader(ComPtr<IMFSourceReader> inner, Throws where) : inner_(std::move(inner)), where_(where) {}
    HRESULT GetStreamSelection(DWORD i, BOOL* s) override { return inner_->GetStreamSelection(i, s); }
    HRESULT SetStreamSelection(DWORD i, BOOL s) override { return inner_->SetStreamSelection(i, s); }
    HRESULT GetNativeMediaType(DWORD i, DWORD t, IMFMediaType** m) override { return inner_->GetNativeMediaType(i, t, m); }
    HRESULT GetCurrentMediaType(DWORD i, IMFMediaType** m) override { return inner_->GetCurrentMediaType(i, m); }
    HRESULT SetCurrentMediaType(DWORD i, DWORD* r, IMFMediaType* m) override { return inner_->SetCurrentMediaType(i, r, m); }
    HRESULT Flush(DWORD i) override { return inner_->Flush(i); }
    HRESULT ReadSample(DWORD index, DWORD control, DWORD* actual, DWORD* flags, LONGLONG* time,
                       IMFSample** sample) override {
        ++reads;
        if (where_ == Throws::in_read) throw std::bad_alloc();
        const HRESULT hr = inner_->ReadSample(index, control, actual, flags, time, sample);
        if (SUCCEEDED(hr) && *sample) {
            (*sample)->Release();
            MFCreateSample(sample);
            ComPtr<IMFMediaBuffer> buffer;
            buffer.Attach(new UnlockableBuffer());
            (*sample)->AddBuffer(buffer.Get());
        }
        return hr;
    }
    static inline std::atomic<int> reads{0};

private:
    ComPtr<IMFSourceReader> inner_;
    Throws where_;
};

TEST_F(CaptureTest, ExceptionsOnAWorkerDropTheFrameOrEndTheSessionNotTheProcess) {
    struct Case {
        Throws where;
        bool keeps_running;
        const char* says;
    };
    const Case cases[] = {
        {Throws::in_conversion, true,
         "Frames of device 0 dropped: out of memory while converting; choose a smaller size\n"},
        {Throws::in_read, false, "Capture of device 0 stopped: out of memory; start again with a smaller size\n"},
    };
    for (const Case& c : cases) {
        sim::remove_all_cameras();
        sim::add_camera(camera(u"cam-a"));
        PyVideoCapture session;
        ASSERT_TRUE(start(session, u"cam-a"));
        start_capture();
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFSourceReader> reader;
        session.take_slots(0, source, reader);
        ComPtr<IMFSourceReader> throwing;
        throwing.Attach(new ThrowingReader(reader, c.where));
        ThrowingReader::reads = 0;
        session.put_slots(0, source, throwing);
        reader.Reset();
        throwing.Reset();

        if (c.keeps_running) {
            ASSERT_TRUE(eventually([] { return ThrowingReader::reads >= 5; }));
            const uint64_t sent_before = sent().frames_sent;
            const int reads_before = ThrowingReader::reads;
            ASSERT_TRUE(eventually([&] { return ThrowingReader::reads >= reads_before + 5; }));
            EXPECT_TRUE(session.is_running());
            // At most the pictures still queued at the first check; the dropped ones never arrive.
            EXPECT_LE(sent().frames_sent, sent_before + 2);
        } else {
            EXPECT_TRUE(eventually([&] { return !session.is_running(); }));
        }
        session.stop();
        const std::string output = stop_capture();
        EXPECT_NE(output.find(c.says), std::string::npos) << output;
        EXPECT_EQ(output.find(c.says), output.rfind(c.says)) << "said once: " << output;
    }
}

}  // namespace
