// Media types, memory buffers and samples.
#include "media_objects.h"

#include <wrl/client.h>

#include <limits>

namespace mfcompat {
namespace {

class MediaType final : public AttributesImpl<MediaType, IMFMediaType> {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        return answer_query(riid, object, {IID_IUnknown, IID_IMFAttributes, IID_IMFMediaType}, this);
    }
    HRESULT GetMajorType(GUID* major_type) override try {
        if (!major_type) return E_POINTER;
        return attrs_.get_guid(MF_MT_MAJOR_TYPE, major_type);
    } catch (...) {
        return hresult_of_exception();
    }
};

class MemoryBuffer final : public RefCounted<MemoryBuffer, IMFMediaBuffer> {
public:
    explicit MemoryBuffer(std::vector<uint8_t>&& bytes, std::shared_ptr<FramePool> pool = nullptr)
        : bytes_(std::move(bytes)), current_(DWORD(bytes_.size())), pool_(std::move(pool)) {}
    ~MemoryBuffer() override {
        if (pool_) pool_->give_back(std::move(bytes_));
    }
    explicit MemoryBuffer(DWORD max_length) : bytes_(max_length), current_(0) {}

    HRESULT QueryInterface(REFIID riid, void** object) override {
        return answer_query(riid, object, {IID_IUnknown, IID_IMFMediaBuffer}, this);
    }
    HRESULT Lock(BYTE** data, DWORD* max_length, DWORD* current_length) override try {
        if (!data) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        ++locks_;
        *data = bytes_.data();
        if (max_length) *max_length = DWORD(bytes_.size());
        if (current_length) *current_length = current_;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT Unlock() override try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (locks_ == 0) return MF_E_INVALIDREQUEST;
        --locks_;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetCurrentLength(DWORD* length) override try {
        if (!length) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        *length = current_;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT SetCurrentLength(DWORD length) override try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (length > bytes_.size()) return E_INVALIDARG;
        current_ = length;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetMaxLength(DWORD* length) override try {
        if (!length) return E_POINTER;
        *length = DWORD(bytes_.size());
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }

private:
    std::mutex mutex_;
    std::vector<uint8_t> bytes_;
    DWORD current_;
    unsigned locks_ = 0;
    std::shared_ptr<FramePool> pool_;
};

class Sample final : public AttributesImpl<Sample, IMFSample> {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override {
        return answer_query(riid, object, {IID_IUnknown, IID_IMFAttributes, IID_IMFSample}, this);
    }
    HRESULT GetSampleTime(LONGLONG* time) override try {
        if (!time) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!has_time_) return MF_E_ATTRIBUTENOTFOUND;  // Media Foundation: MF_E_NO_SAMPLE_TIMESTAMP
        *time = time_;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT SetSampleTime(LONGLONG time) override try {
        std::lock_guard<std::mutex> lock(mutex_);
        time_ = time;
        has_time_ = true;
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetBufferCount(DWORD* count) override try {
        if (!count) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        *count = DWORD(buffers_.size());
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) override try {
        if (!buffer) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= buffers_.size()) {
            *buffer = nullptr;
            return E_INVALIDARG;
        }
        *buffer = buffers_[index].Get();
        (*buffer)->AddRef();
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT ConvertToContiguousBuffer(IMFMediaBuffer** buffer) override try {
        if (!buffer) return E_POINTER;
        *buffer = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        if (buffers_.empty()) return E_UNEXPECTED;
        if (buffers_.size() == 1) {
            *buffer = buffers_[0].Get();
            (*buffer)->AddRef();
            return S_OK;
        }
        // Several buffers: join their valid bytes into one, which then replaces them in the sample.
        std::vector<uint8_t> joined;
        for (auto& b : buffers_) {
            BYTE* data = nullptr;
            DWORD length = 0;
            HRESULT hr = b->Lock(&data, nullptr, &length);
            if (FAILED(hr)) return hr;
            joined.insert(joined.end(), data, data + length);
            b->Unlock();
        }
        Microsoft::WRL::ComPtr<IMFMediaBuffer> merged;
        merged.Attach(new MemoryBuffer(std::move(joined)));
        buffers_.assign(1, merged);
        *buffer = merged.Detach();
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT AddBuffer(IMFMediaBuffer* buffer) override try {
        if (!buffer) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        buffers_.emplace_back(buffer);
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }
    HRESULT GetTotalLength(DWORD* length) override try {
        if (!length) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t total = 0;
        for (auto& b : buffers_) {
            DWORD one = 0;
            b->GetCurrentLength(&one);
            total += one;
        }
        *length = total > std::numeric_limits<DWORD>::max() ? std::numeric_limits<DWORD>::max() : DWORD(total);
        return S_OK;
    } catch (...) {
        return hresult_of_exception();
    }

private:
    std::mutex mutex_;
    std::vector<Microsoft::WRL::ComPtr<IMFMediaBuffer>> buffers_;
    LONGLONG time_ = 0;
    bool has_time_ = false;
};

}  // namespace

HRESULT create_buffer_with(std::vector<uint8_t>&& bytes, IMFMediaBuffer** buffer) try {
    if (!buffer) return E_POINTER;
    if (bytes.size() > std::numeric_limits<DWORD>::max()) return E_INVALIDARG;
    *buffer = new MemoryBuffer(std::move(bytes));
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

HRESULT create_sample_with(std::vector<uint8_t>&& bytes, LONGLONG time, IMFSample** sample,
                           std::shared_ptr<FramePool> pool) try {
    if (!sample) return E_POINTER;
    *sample = nullptr;
    if (bytes.size() > std::numeric_limits<DWORD>::max()) return E_INVALIDARG;
    Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
    buffer.Attach(new MemoryBuffer(std::move(bytes), std::move(pool)));
    auto* s = new Sample();
    s->AddBuffer(buffer.Get());
    s->SetSampleTime(time);
    *sample = s;
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

HRESULT create_media_type_for(const NativeFormat& format, IMFMediaType** media_type) try {
    if (!media_type) return E_POINTER;
    auto* type = new MediaType();
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    if (format.has_subtype) type->SetGUID(MF_MT_SUBTYPE, format.subtype);
    if (format.has_frame_size) type->SetUINT64(MF_MT_FRAME_SIZE, Pack2UINT32AsUINT64(format.width, format.height));
    if (format.has_frame_rate)
        type->SetUINT64(MF_MT_FRAME_RATE, Pack2UINT32AsUINT64(format.rate_numerator, format.rate_denominator));
    *media_type = type;
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

}  // namespace mfcompat

using namespace mfcompat;

extern "C" {

MFCOMPAT_API HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32 initial_size) try {
    if (!attributes) return E_POINTER;
    // A bare store: a media type without the media-type part would do, but keep the identities honest.
    class Attributes final : public AttributesImpl<Attributes, IMFAttributes> {
    public:
        HRESULT QueryInterface(REFIID riid, void** object) override {
            return answer_query(riid, object, {IID_IUnknown, IID_IMFAttributes}, this);
        }
    };
    *attributes = new Attributes();
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

MFCOMPAT_API HRESULT MFCreateMediaType(IMFMediaType** media_type) try {
    if (!media_type) return E_POINTER;
    *media_type = new MediaType();
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

MFCOMPAT_API HRESULT MFCreateSample(IMFSample** sample) try {
    if (!sample) return E_POINTER;
    *sample = new Sample();
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

MFCOMPAT_API HRESULT MFCreateMemoryBuffer(DWORD max_length, IMFMediaBuffer** buffer) try {
    if (!buffer) return E_POINTER;
    *buffer = new MemoryBuffer(max_length);
    return S_OK;
} catch (...) {
    return hresult_of_exception();
}

}  // extern "C"
