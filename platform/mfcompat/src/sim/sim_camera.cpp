// A simulated camera as a device: its strings, native formats, the opening steps with their
// faults, and the opening of a stream.
#include "sim_camera.h"

#include <algorithm>

namespace mfcompat {
namespace sim {
namespace {

// Large enough for any real camera; keeps a bad request from asking for gigabytes.
constexpr uint32_t kMaxSide = 8192;
constexpr uint64_t kMaxPixels = uint64_t(8192) * 4608;
constexpr uint32_t kFallbackWidth = 640, kFallbackHeight = 480;

NativeFormat to_native(const Format& f) {
    NativeFormat n;
    if (f.subtype) {
        n.has_subtype = true;
        n.subtype = *f.subtype;
    }
    if (f.frame_size) {
        n.has_frame_size = true;
        n.width = f.frame_size->first;
        n.height = f.frame_size->second;
    }
    if (f.frame_rate) {
        n.has_frame_rate = true;
        n.rate_numerator = f.frame_rate->first;
        n.rate_denominator = f.frame_rate->second;
    }
    return n;
}

}  // namespace

SimCamera::SimCamera(CameraId id, const CameraConfig& config) : id_(id), config_(config) {
    frames_ = std::make_shared<const std::vector<std::vector<uint8_t>>>(config.frames);
}

bool SimCamera::friendly_name(std::u16string* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!config_.friendly_name) return false;
    *name = *config_.friendly_name;
    return true;
}

bool SimCamera::symbolic_link(std::u16string* link) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!config_.symbolic_link) return false;
    *link = *config_.symbolic_link;
    return true;
}

HRESULT SimCamera::activate() { return opening_step(&Counters::activations, Fault::activate); }

HRESULT SimCamera::create_presentation_descriptor() {
    return opening_step(&Counters::presentation_descriptors, Fault::presentation_descriptor);
}

HRESULT SimCamera::create_reader() { return opening_step(&Counters::readers_created, Fault::create_reader); }

std::vector<NativeFormat> SimCamera::native_formats() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<NativeFormat> out;
    for (const Format& f : config_.formats) out.push_back(to_native(f));
    return out;
}

void SimCamera::source_shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.shutdowns;
}

HRESULT SimCamera::opening_step(uint64_t Counters::*counter, Fault fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(counters_.*counter);
    if (unplugged_) return MFCOMPAT_E_DEVICE_NOT_CONNECTED;
    return fault_result_locked(fault);
}

HRESULT SimCamera::fault_result_locked(Fault fault) {
    ScheduledFault& f = faults_[int(fault)];
    if (SUCCEEDED(f.hr)) return S_OK;
    if (f.successes_left > 0) {
        --f.successes_left;
        return S_OK;
    }
    return f.hr;
}

HRESULT SimCamera::next_type_outcome_locked() {
    if (type_script_.empty()) return S_OK;
    if (type_script_position_ >= type_script_.size()) {
        if (!repeat_type_script_) return S_OK;
        type_script_position_ = 0;
    }
    return type_script_[type_script_position_++];
}

bool SimCamera::accepts_locked(const RequestedFormat& r) const {
    if (config_.accept_any_format) return true;
    return std::any_of(config_.formats.begin(), config_.formats.end(), [&](const Format& f) {
        if (f.subtype && *f.subtype != r.subtype) return false;
        if (f.frame_size && (f.frame_size->first != r.width || f.frame_size->second != r.height)) return false;
        return true;
    });
}

HRESULT SimCamera::open_stream(const RequestedFormat& format, std::unique_ptr<CameraStream>* stream) {
    std::shared_ptr<SimCamera> self = shared_from_this();
    GUID subtype;
    uint32_t width = 0, height = 0;
    Clock::duration period;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.set_type_calls;
        last_requested_.valid = true;
        last_requested_.subtype = format.subtype;
        last_requested_.width = format.width;
        last_requested_.height = format.height;
        last_requested_.rate_numerator = format.rate_numerator;
        last_requested_.rate_denominator = format.rate_denominator;
        const HRESULT scripted = next_type_outcome_locked();
        if (unplugged_) return MFCOMPAT_E_DEVICE_NOT_CONNECTED;
        if (FAILED(scripted)) return scripted;
        if (!accepts_locked(format)) return MF_E_INVALIDMEDIATYPE;
        if (HRESULT hr = fault_result_locked(Fault::set_media_type); FAILED(hr)) return hr;

        subtype = format.subtype;
        width = format.width;
        height = format.height;
        if (width == 0 || height == 0) {
            // A request without a size streams the first native size there is.
            width = kFallbackWidth;
            height = kFallbackHeight;
            for (const Format& f : config_.formats) {
                if (f.frame_size && f.frame_size->first && f.frame_size->second) {
                    width = f.frame_size->first;
                    height = f.frame_size->second;
                    break;
                }
            }
        }
        uint32_t num = format.rate_numerator, den = format.rate_denominator;
        if (num == 0 || den == 0) {
            num = 30;
            den = 1;
        }
        period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(double(den) / num));
    }
    if (width > kMaxSide || height > kMaxSide || uint64_t(width) * height > kMaxPixels) return E_INVALIDARG;

    auto created = std::make_unique<SimStream>(self, subtype, width, height, period);
    if (!created->init()) return MF_E_INVALIDMEDIATYPE;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unplugged_) return MFCOMPAT_E_DEVICE_NOT_CONNECTED;
        streams_.push_back(created.get());
    }
    *stream = std::move(created);
    return S_OK;
}

}  // namespace sim
}  // namespace mfcompat
