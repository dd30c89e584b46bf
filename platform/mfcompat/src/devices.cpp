// Capture devices as Media Foundation objects: activation objects, media sources and synchronous
// source readers over the CameraDevice / CameraStream backends.
#include "camera_device.h"
#include "com_object.h"
#include "media_objects.h"

#include <wrl/client.h>

namespace mfcompat {
namespace {

constexpr DWORD kMediaSourceIsLive = 0x1;  // MFMEDIASOURCE_IS_LIVE

bool is_first_video_stream(DWORD index) { return index == MF_SOURCE_READER_FIRST_VIDEO_STREAM || index == 0; }

// What a media source shares with the readers made from it: the shutdown state and the streams
// to stop when the source shuts down.
struct SourceCore {
    explicit SourceCore(std::shared_ptr<CameraDevice> d) : device(std::move(d)) {}
    std::shared_ptr<CameraDevice> device;
    std::mutex mutex;
    bool shut_down = false;
    std::vector<std::weak_ptr<CameraStream>> streams;

    bool is_shut_down() {
        std::lock_guard<std::mutex> lock(mutex);
        return shut_down;
    }
};

class PresentationDescriptor final : public AttributesImpl<PresentationDescriptor, IMFPresentationDescriptor> {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        return answer_query(riid, object, {IID_IUnknown, IID_IMFAttributes, IID_IMFPresentationDescriptor}, this);
    }
    HRESULT GetStreamDescriptorCount(DWORD* count) override try {
        if (!count) return E_POINTER;
        *count = 1;  // one video stream
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
};

class MediaSource final : public RefCounted<MediaSource, IMFMediaSource> {
public:
    explicit MediaSource(std::shared_ptr<CameraDevice> device) : core_(std::make_shared<SourceCore>(std::move(device))) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return answer_query(riid, object, {IID_IUnknown, IID_IMFMediaSource}, this);
    }
    HRESULT GetCharacteristics(DWORD* characteristics) override try {
        if (!characteristics) return E_POINTER;
        if (core_->is_shut_down()) return MF_E_SHUTDOWN;
        *characteristics = kMediaSourceIsLive;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override try {
        if (!descriptor) return E_POINTER;
        *descriptor = nullptr;
        if (core_->is_shut_down()) return MF_E_SHUTDOWN;
        HRESULT hr = core_->device->create_presentation_descriptor();
        if (FAILED(hr)) return hr;
        *descriptor = new PresentationDescriptor();
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT Shutdown() override try {
        std::vector<std::shared_ptr<CameraStream>> streams;
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            if (core_->shut_down) return MF_E_SHUTDOWN;
            core_->shut_down = true;
            for (auto& weak : core_->streams)
                if (auto s = weak.lock()) streams.push_back(std::move(s));
            core_->streams.clear();
        }
        // Outside the lock: shutting a stream down wakes a read that may be waiting in it.
        for (auto& s : streams) s->shutdown();
        core_->device->source_shutdown();
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }

    const std::shared_ptr<SourceCore>& core() const { return core_; }

private:
    std::shared_ptr<SourceCore> core_;
};

class SourceReader final : public RefCounted<SourceReader, IMFSourceReader> {
public:
    SourceReader(MediaSource* source) : source_(source), core_(source->core()) {}
    ~SourceReader() override {
        // The stream goes before the source does.
        std::shared_ptr<CameraStream> stream;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stream = std::move(stream_);
        }
        stream.reset();
    }

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return answer_query(riid, object, {IID_IUnknown, IID_IMFSourceReader}, this);
    }

    HRESULT GetStreamSelection(DWORD stream_index, BOOL* selected) override try {
        if (!selected) return E_POINTER;
        if (!is_first_video_stream(stream_index)) return MF_E_INVALIDSTREAMNUMBER;
        *selected = TRUE;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT SetStreamSelection(DWORD stream_index, BOOL selected) override try {
        if (stream_index == MF_SOURCE_READER_ALL_STREAMS || is_first_video_stream(stream_index)) return S_OK;
        return MF_E_INVALIDSTREAMNUMBER;
    } catch (...) {
        return hresult_of_exception();
    }

    HRESULT GetNativeMediaType(DWORD stream_index, DWORD media_type_index, IMFMediaType** media_type) override try {
        if (!media_type) return E_POINTER;
        *media_type = nullptr;
        if (!is_first_video_stream(stream_index)) return MF_E_INVALIDSTREAMNUMBER;
        if (core_->is_shut_down()) return MF_E_SHUTDOWN;
        NativeFormat format;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // The native list of a reader is fixed; asking the device once spares a backend from
            // walking all its formats for every index.
            if (!native_loaded_) {
                native_ = core_->device->native_formats();
                native_loaded_ = true;
            }
            if (media_type_index >= native_.size()) return MF_E_NO_MORE_TYPES;
            format = native_[media_type_index];
        }
        return create_media_type_for(format, media_type);
    } catch (...) {
        return hresult_of_exception();
    }

    HRESULT GetCurrentMediaType(DWORD stream_index, IMFMediaType** media_type) override try {
        if (!media_type) return E_POINTER;
        *media_type = nullptr;
        if (!is_first_video_stream(stream_index)) return MF_E_INVALIDSTREAMNUMBER;
        if (core_->is_shut_down()) return MF_E_SHUTDOWN;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stream_) return MF_E_INVALIDREQUEST;
        return create_media_type_for(current_, media_type);
    } catch (...) {
        return hresult_of_exception();
    }

    // The previous stream is stopped before the device is asked for the new one, since a real
    // device cannot stream two formats at once. On failure the reader is left without a stream.
    HRESULT SetCurrentMediaType(DWORD stream_index, DWORD* reserved, IMFMediaType* media_type) override try {
        if (!media_type) return E_POINTER;
        if (!is_first_video_stream(stream_index)) return MF_E_INVALIDSTREAMNUMBER;
        if (core_->is_shut_down()) return MF_E_SHUTDOWN;

        RequestedFormat request;
        NativeFormat current;
        GUID subtype{};
        if (SUCCEEDED(media_type->GetGUID(MF_MT_SUBTYPE, &subtype))) {
            request.subtype = subtype;
            current.has_subtype = true;
            current.subtype = subtype;
        }
        UINT64 packed = 0;
        if (SUCCEEDED(media_type->GetUINT64(MF_MT_FRAME_SIZE, &packed))) {
            Unpack2UINT32AsUINT64(packed, &request.width, &request.height);
            current.has_frame_size = true;
            current.width = request.width;
            current.height = request.height;
        }
        if (SUCCEEDED(media_type->GetUINT64(MF_MT_FRAME_RATE, &packed))) {
            Unpack2UINT32AsUINT64(packed, &request.rate_numerator, &request.rate_denominator);
            current.has_frame_rate = true;
            current.rate_numerator = request.rate_numerator;
            current.rate_denominator = request.rate_denominator;
        }

        std::lock_guard<std::mutex> set_lock(set_mutex_);
        std::shared_ptr<CameraStream> old;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            old = std::move(stream_);
        }
        if (old) {
            old->shutdown();
            old.reset();
        }

        std::unique_ptr<CameraStream> opened;
        HRESULT hr = core_->device->open_stream(request, &opened);
        if (FAILED(hr)) return hr;
        if (!opened) return E_UNEXPECTED;
        std::shared_ptr<CameraStream> stream(std::move(opened));
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            if (core_->shut_down) {
                stream->shutdown();
                return MF_E_SHUTDOWN;
            }
            // Forget streams that are gone so the list does not grow with every reopen.
            auto& list = core_->streams;
            for (size_t i = 0; i < list.size();) {
                if (list[i].expired()) {
                    list[i] = list.back();
                    list.pop_back();
                } else {
                    ++i;
                }
            }
            list.push_back(stream);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        stream_ = std::move(stream);
        current_ = current;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }

    HRESULT ReadSample(DWORD stream_index, DWORD control_flags, DWORD* actual_stream_index, DWORD* stream_flags,
                       LONGLONG* timestamp, IMFSample** sample) override try {
        // A synchronous reader needs somewhere to put the flags and the sample.
        if (!stream_flags || !sample) return E_POINTER;
        *stream_flags = 0;
        *sample = nullptr;
        if (!is_first_video_stream(stream_index)) return MF_E_INVALIDSTREAMNUMBER;
        if (core_->is_shut_down()) return MF_E_SHUTDOWN;
        std::shared_ptr<CameraStream> stream;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stream = stream_;
        }
        if (!stream) return MF_E_INVALIDREQUEST;

        ReadResult result = stream->read();
        if (actual_stream_index) *actual_stream_index = 0;
        if (FAILED(result.hr)) {
            *stream_flags = result.stream_flags | MF_SOURCE_READERF_ERROR;
            return result.hr;
        }
        *stream_flags = result.stream_flags;
        if (timestamp) *timestamp = result.timestamp;
        if (result.has_sample) {
            HRESULT hr = create_sample_with(std::move(result.data), result.timestamp, sample, std::move(result.pool));
            if (FAILED(hr)) return hr;
        }
        return result.hr;
    } catch (...) {
        return hresult_of_exception();
    }

    HRESULT Flush(DWORD stream_index) override try {
        if (!is_first_video_stream(stream_index) && stream_index != MF_SOURCE_READER_ALL_STREAMS)
            return MF_E_INVALIDSTREAMNUMBER;
        if (core_->is_shut_down()) return MF_E_SHUTDOWN;
        std::shared_ptr<CameraStream> stream;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stream = stream_;
        }
        if (stream) stream->flush();
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }

private:
    Microsoft::WRL::ComPtr<MediaSource> source_;  // a reader keeps its source alive; released last
    std::shared_ptr<SourceCore> core_;
    std::mutex set_mutex_;  // one SetCurrentMediaType at a time
    std::mutex mutex_;      // guards the members below
    std::shared_ptr<CameraStream> stream_;
    NativeFormat current_;
    bool native_loaded_ = false;
    std::vector<NativeFormat> native_;
};

class Activate final : public AttributesImpl<Activate, IMFActivate> {
public:
    explicit Activate(std::shared_ptr<CameraDevice> device) : device_(std::move(device)) {
        SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
        std::u16string text;
        if (device_->friendly_name(&text)) SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, text.c_str());
        text.clear();
        if (device_->symbolic_link(&text)) SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, text.c_str());
    }

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return answer_query(riid, object, {IID_IUnknown, IID_IMFAttributes, IID_IMFActivate}, this);
    }
    HRESULT ActivateObject(REFIID riid, void** object) override try {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IMFMediaSource && riid != IID_IUnknown) return E_NOINTERFACE;
        HRESULT hr = device_->activate();
        if (FAILED(hr)) return hr;
        Microsoft::WRL::ComPtr<MediaSource> source;
        source.Attach(new MediaSource(device_));
        return source->QueryInterface(riid, object);
    } catch (...) {
        return hresult_of_exception();
    }
    // Each activation makes a fresh source that its user shuts down, so there is nothing kept here.
    HRESULT ShutdownObject() override try { return S_OK; } catch (...) {
        return hresult_of_exception();
    }
    HRESULT DetachObject() override try { return S_OK; } catch (...) {
        return hresult_of_exception();
    }

private:
    std::shared_ptr<CameraDevice> device_;
};

}  // namespace
}  // namespace mfcompat

using namespace mfcompat;

extern "C" {

MFCOMPAT_API HRESULT MFEnumDeviceSources(IMFAttributes* attributes, IMFActivate*** sources, UINT32* count) try {
    if (!attributes || !sources || !count) return E_POINTER;
    *sources = nullptr;
    *count = 0;
    GUID type{};
    HRESULT hr = attributes->GetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, &type);
    if (FAILED(hr)) return hr;
    if (type != MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID) return E_INVALIDARG;

    std::vector<std::shared_ptr<CameraDevice>> devices = simulated_devices();
    for (auto& d : v4l2_devices()) devices.push_back(std::move(d));
    if (devices.empty()) return S_OK;

    auto** array = static_cast<IMFActivate**>(CoTaskMemAlloc(devices.size() * sizeof(IMFActivate*)));
    if (!array) return E_OUTOFMEMORY;
    for (size_t i = 0; i < devices.size(); ++i) array[i] = new Activate(devices[i]);
    *sources = array;
    *count = UINT32(devices.size());
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

MFCOMPAT_API HRESULT MFCreateSourceReaderFromMediaSource(IMFMediaSource* source, IMFAttributes* attributes,
                                                         IMFSourceReader** reader) try {
    if (!source || !reader) return E_POINTER;
    *reader = nullptr;
    // Only sources of this library can be read.
    auto* ours = dynamic_cast<MediaSource*>(source);
    if (!ours) return E_INVALIDARG;
    if (ours->core()->is_shut_down()) return MF_E_SHUTDOWN;
    HRESULT hr = ours->core()->device->create_reader();
    if (FAILED(hr)) return hr;
    *reader = new SourceReader(ours);
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

}  // extern "C"
