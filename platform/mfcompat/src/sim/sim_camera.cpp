// The simulated cameras: a process-wide registry of configured devices and their streams.
#include <mfcompat/simulated_camera.h>

#include "../camera_device.h"
#include "../platform_clock.h"
#include "pattern.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace mfcompat {
namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// Large enough for any real camera; keeps a bad request from asking for gigabytes.
constexpr uint32_t kMaxSide = 8192;
constexpr uint64_t kMaxPixels = uint64_t(8192) * 4608;
constexpr uint32_t kFallbackWidth = 640, kFallbackHeight = 480;

class SimStream;

class SimCamera final : public CameraDevice, public std::enable_shared_from_this<SimCamera> {
public:
    SimCamera(CameraId id, const CameraConfig& config) : id_(id), config_(config) {
        frames_ = std::make_shared<const std::vector<std::vector<uint8_t>>>(config.frames);
    }

    CameraId id() const { return id_; }

    bool friendly_name(std::u16string* name) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!config_.friendly_name) return false;
        *name = *config_.friendly_name;
        return true;
    }
    bool symbolic_link(std::u16string* link) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!config_.symbolic_link) return false;
        *link = *config_.symbolic_link;
        return true;
    }
    HRESULT activate() override { return opening_step(&Counters::activations, Fault::activate); }
    HRESULT create_presentation_descriptor() override {
        return opening_step(&Counters::presentation_descriptors, Fault::presentation_descriptor);
    }
    HRESULT create_reader() override { return opening_step(&Counters::readers_created, Fault::create_reader); }

    std::vector<NativeFormat> native_formats() override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<NativeFormat> out;
        for (const Format& f : config_.formats) out.push_back(to_native(f));
        return out;
    }

    HRESULT open_stream(const RequestedFormat& format, std::unique_ptr<CameraStream>* stream) override;

    void source_shutdown() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.shutdowns;
    }

    // --- control ---
    template <class F>
    void with_lock(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        f();
    }
    void set_plugged(bool plugged);
    void set_plugged_locked(bool plugged);
    bool is_plugged() {
        std::lock_guard<std::mutex> lock(mutex_);
        return !unplugged_;
    }
    void set_fault(Fault fault, HRESULT hr, uint64_t after) {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_[int(fault)] = {hr, after};
    }
    void set_media_type_script(const std::vector<HRESULT>& outcomes, bool repeat) {
        std::lock_guard<std::mutex> lock(mutex_);
        type_script_ = outcomes;
        repeat_type_script_ = repeat;
        type_script_position_ = 0;
    }
    void set_script(const std::vector<ScriptStep>& script, bool repeat) {
        std::lock_guard<std::mutex> lock(mutex_);
        config_.script = script;
        config_.repeat_script = repeat;
        script_position_ = 0;
    }
    void set_frames(const std::vector<std::vector<uint8_t>>& frames) {
        auto copy = std::make_shared<const std::vector<std::vector<uint8_t>>>(frames);
        std::lock_guard<std::mutex> lock(mutex_);
        frames_ = std::move(copy);
        config_.source = FrameSource::frame_list;
    }
    void set_solid(uint8_t b, uint8_t g, uint8_t r) {
        std::lock_guard<std::mutex> lock(mutex_);
        config_.source = FrameSource::solid_colour;
        config_.blue = b;
        config_.green = g;
        config_.red = r;
    }
    void set_moving() {
        std::lock_guard<std::mutex> lock(mutex_);
        config_.source = FrameSource::moving_pattern;
    }
    void set_paced(bool paced) {
        std::lock_guard<std::mutex> lock(mutex_);
        config_.paced = paced;
    }
    void set_accept_any(bool accept) {
        std::lock_guard<std::mutex> lock(mutex_);
        config_.accept_any_format = accept;
    }
    Counters counters() {
        std::lock_guard<std::mutex> lock(mutex_);
        return counters_;
    }
    RequestedType last_requested() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_requested_;
    }

private:
    friend class SimStream;

    static NativeFormat to_native(const Format& f) {
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

    HRESULT opening_step(uint64_t Counters::*counter, Fault fault) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++(counters_.*counter);
        if (unplugged_) return MFCOMPAT_E_DEVICE_NOT_CONNECTED;
        return fault_result_locked(fault);
    }

    // Called for a call of the step that would succeed: a fault still counting down lets it.
    HRESULT fault_result_locked(Fault fault) {
        ScheduledFault& f = faults_[int(fault)];
        if (SUCCEEDED(f.hr)) return S_OK;
        if (f.successes_left > 0) {
            --f.successes_left;
            return S_OK;
        }
        return f.hr;
    }

    // The scripted result of one SetCurrentMediaType call: S_OK lets the call go on as usual.
    HRESULT next_type_outcome_locked() {
        if (type_script_.empty()) return S_OK;
        if (type_script_position_ >= type_script_.size()) {
            if (!repeat_type_script_) return S_OK;
            type_script_position_ = 0;
        }
        return type_script_[type_script_position_++];
    }

    bool accepts_locked(const RequestedFormat& r) const {
        if (config_.accept_any_format) return true;
        return std::any_of(config_.formats.begin(), config_.formats.end(), [&](const Format& f) {
            if (f.subtype && *f.subtype != r.subtype) return false;
            if (f.frame_size && (f.frame_size->first != r.width || f.frame_size->second != r.height)) return false;
            return true;
        });
    }

    // The next scripted outcome, or normal once the script is used up.
    ScriptStep next_step_locked() {
        const auto& script = config_.script;
        if (script.empty()) return ScriptStep{};
        if (script_position_ >= script.size()) {
            if (!config_.repeat_script) return ScriptStep{};
            script_position_ = 0;
        }
        return script[script_position_++];
    }

    const CameraId id_;
    std::mutex mutex_;
    std::condition_variable wake_;  // stream events: flush, shutdown, unplug
    CameraConfig config_;
    std::shared_ptr<const std::vector<std::vector<uint8_t>>> frames_;
    struct ScheduledFault {
        HRESULT hr = S_OK;
        uint64_t successes_left = 0;  // calls that still succeed before the fault begins
    };
    ScheduledFault faults_[4];
    std::vector<HRESULT> type_script_;
    bool repeat_type_script_ = false;
    size_t type_script_position_ = 0;
    size_t script_position_ = 0;
    bool unplugged_ = false;
    Counters counters_;
    RequestedType last_requested_;
    std::vector<SimStream*> streams_;  // open streams, for unplug
};

class SimStream final : public CameraStream {
public:
    SimStream(std::shared_ptr<SimCamera> camera, const GUID& subtype, uint32_t width, uint32_t height,
              Clock::duration period)
        : camera_(std::move(camera)), encoder_(subtype, width, height), period_(period), start_(Clock::now()),
          next_due_(start_) {
        canvas_.width = width;
        canvas_.height = height;
    }
    ~SimStream() override {
        std::lock_guard<std::mutex> lock(camera_->mutex_);
        auto& list = camera_->streams_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
    }

    bool init() { return encoder_.init(); }

    // Called with the camera's lock held.
    void invalidate_locked() { invalidated_ = true; }

    ReadResult read() override {
        std::lock_guard<std::mutex> serial(read_mutex_);
        SimCamera& cam = *camera_;
        std::unique_lock<std::mutex> lock(cam.mutex_);
        ++cam.counters_.reads;
        ReadResult result;
        if (HRESULT hr = broken_locked(); FAILED(hr)) {
            result.hr = hr;
            return result;
        }
        const uint64_t flush_seen = flush_generation_;
        auto interrupted = [&] { return shut_down_ || invalidated_ || flush_generation_ != flush_seen; };
        // Nothing delivered within the read timeout (platform time) fails the read.
        const auto timeout_at = Clock::now() + real_duration(kReadTimeoutMs);

        const ScriptStep step = cam.next_step_locked();
        switch (step.outcome) {
            case ReadOutcome::error:
                result.hr = step.hr;
                return result;
            case ReadOutcome::end_of_stream:
                result.stream_flags = MF_SOURCE_READERF_ENDOFSTREAM;
                return result;
            case ReadOutcome::stream_tick:
                result.stream_flags = MF_SOURCE_READERF_STREAMTICK;
                return result;
            case ReadOutcome::no_sample:
                return result;
            case ReadOutcome::block:
                // A flush leaves a good read without a sample.
                result.hr = cam.wake_.wait_until(lock, timeout_at, interrupted) ? broken_locked() : MFCOMPAT_E_TIMEOUT;
                return result;
            case ReadOutcome::unplug:
                cam.set_plugged_locked(false);
                result.hr = broken_locked();
                return result;
            case ReadOutcome::normal:
            case ReadOutcome::truncated:
                break;
        }

        if (cam.config_.paced) {
            const auto now = Clock::now();
            // After a stall, restart the cadence instead of bursting to catch up.
            if (next_due_ + period_ < now) next_due_ = now;
            if (cam.wake_.wait_until(lock, std::min(next_due_, timeout_at), interrupted)) {
                result.hr = broken_locked();
                return result;
            }
            if (next_due_ > timeout_at) {  // a rate slower than the timeout
                result.hr = MFCOMPAT_E_TIMEOUT;
                return result;
            }
            next_due_ += period_;
        }

        const FrameSource source = cam.config_.source;
        const uint8_t b = cam.config_.blue, g = cam.config_.green, r = cam.config_.red;
        auto frames = cam.frames_;
        lock.unlock();

        std::vector<uint8_t> data;
        if (source == FrameSource::frame_list) {
            if (!frames->empty()) data = (*frames)[frame_number_ % frames->size()];
        } else {
            if (source == FrameSource::solid_colour) {
                if (!solid_drawn_ || solid_colour_ != std::array<uint8_t, 3>{b, g, r}) {
                    draw_solid(canvas_, b, g, r);
                    solid_colour_ = {b, g, r};
                    solid_drawn_ = true;
                }
            } else {
                draw_moving_pattern(canvas_, uint32_t(frame_number_));
                solid_drawn_ = false;
            }
            data = encoder_.encode(canvas_, int64_t(frame_number_));
        }
        ++frame_number_;
        if (step.outcome == ReadOutcome::truncated) data.resize(data.size() / 2);

        lock.lock();
        if (HRESULT hr = broken_locked(); FAILED(hr)) {
            result.hr = hr;
            return result;
        }
        result.has_sample = true;
        result.data = std::move(data);
        result.timestamp = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_).count() / 100;
        ++cam.counters_.samples_delivered;
        return result;
    }

    void flush() override {
        std::lock_guard<std::mutex> lock(camera_->mutex_);
        ++camera_->counters_.flushes;
        ++flush_generation_;
        camera_->wake_.notify_all();
    }

    void shutdown() override {
        std::lock_guard<std::mutex> lock(camera_->mutex_);
        shut_down_ = true;
        camera_->wake_.notify_all();
    }

private:
    HRESULT broken_locked() const {
        if (shut_down_) return MF_E_SHUTDOWN;
        if (invalidated_) return MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED;
        return S_OK;
    }

    std::shared_ptr<SimCamera> camera_;
    // Guarded by the camera's lock.
    bool shut_down_ = false;
    bool invalidated_ = false;
    uint64_t flush_generation_ = 0;
    // Used by the reading thread only (reads are serialised).
    std::mutex read_mutex_;
    FrameEncoder encoder_;
    Canvas canvas_;
    bool solid_drawn_ = false;
    std::array<uint8_t, 3> solid_colour_{};
    uint64_t frame_number_ = 0;
    const Clock::duration period_;
    const Clock::time_point start_;
    Clock::time_point next_due_;
};

std::mutex g_registry_mutex;
std::vector<std::shared_ptr<SimCamera>> g_cameras;
CameraId g_next_id = 1;

std::shared_ptr<SimCamera> find(CameraId id) {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    for (auto& c : g_cameras)
        if (c->id() == id) return c;
    return nullptr;
}

}  // namespace

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

void SimCamera::set_plugged(bool plugged) {
    std::lock_guard<std::mutex> lock(mutex_);
    set_plugged_locked(plugged);
}

void SimCamera::set_plugged_locked(bool plugged) {
    if (!plugged) {
        unplugged_ = true;
        for (SimStream* s : streams_) s->invalidate_locked();
        wake_.notify_all();
    } else {
        unplugged_ = false;
    }
}

Format format(const GUID& subtype, uint32_t width, uint32_t height, uint32_t rate_num, uint32_t rate_den) {
    Format f;
    f.subtype = subtype;
    f.frame_size = std::make_pair(width, height);
    f.frame_rate = std::make_pair(rate_num, rate_den);
    return f;
}

CameraId add_camera(const CameraConfig& config) {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    CameraId id = g_next_id++;
    g_cameras.push_back(std::make_shared<SimCamera>(id, config));
    return id;
}

bool remove_camera(CameraId id) {
    std::shared_ptr<SimCamera> camera;
    {
        std::lock_guard<std::mutex> lock(g_registry_mutex);
        auto it = std::find_if(g_cameras.begin(), g_cameras.end(), [&](auto& c) { return c->id() == id; });
        if (it == g_cameras.end()) return false;
        camera = *it;
        g_cameras.erase(it);
    }
    // Objects still holding the camera see it as unplugged for good.
    camera->set_plugged(false);
    return true;
}

void remove_all_cameras() {
    std::vector<std::shared_ptr<SimCamera>> cameras;
    {
        std::lock_guard<std::mutex> lock(g_registry_mutex);
        cameras.swap(g_cameras);
    }
    for (auto& c : cameras) c->set_plugged(false);
}

size_t camera_count() {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    return g_cameras.size();
}

bool unplug(CameraId id) {
    auto c = find(id);
    if (c) c->set_plugged(false);
    return bool(c);
}

bool replug(CameraId id) {
    auto c = find(id);
    if (c) c->set_plugged(true);
    return bool(c);
}

bool set_fault(CameraId id, Fault fault, HRESULT hr, uint64_t after) {
    if (int(fault) < 0 || int(fault) > int(Fault::set_media_type)) return false;
    auto c = find(id);
    if (c) c->set_fault(fault, hr, after);
    return bool(c);
}

bool set_media_type_script(CameraId id, const std::vector<HRESULT>& outcomes, bool repeat) {
    auto c = find(id);
    if (c) c->set_media_type_script(outcomes, repeat);
    return bool(c);
}

bool set_script(CameraId id, const std::vector<ScriptStep>& script, bool repeat) {
    for (const ScriptStep& s : script)
        if (int32_t(s.outcome) < 0 || int32_t(s.outcome) > int32_t(ReadOutcome::unplug)) return false;
    auto c = find(id);
    if (c) c->set_script(script, repeat);
    return bool(c);
}

bool set_paced(CameraId id, bool paced) {
    auto c = find(id);
    if (c) c->set_paced(paced);
    return bool(c);
}

bool set_accept_any_format(CameraId id, bool accept) {
    auto c = find(id);
    if (c) c->set_accept_any(accept);
    return bool(c);
}

bool set_solid_colour(CameraId id, uint8_t blue, uint8_t green, uint8_t red) {
    auto c = find(id);
    if (c) c->set_solid(blue, green, red);
    return bool(c);
}

bool set_moving_pattern(CameraId id) {
    auto c = find(id);
    if (c) c->set_moving();
    return bool(c);
}

bool set_frames(CameraId id, const std::vector<std::vector<uint8_t>>& frames) {
    if (frames.empty()) return false;
    auto c = find(id);
    if (c) c->set_frames(frames);
    return bool(c);
}

bool get_counters(CameraId id, Counters* counters) {
    if (!counters) return false;
    auto c = find(id);
    if (c) *counters = c->counters();
    return bool(c);
}

bool get_last_requested(CameraId id, RequestedType* requested) {
    if (!requested) return false;
    auto c = find(id);
    if (c) *requested = c->last_requested();
    return bool(c);
}

}  // namespace sim

std::vector<std::shared_ptr<CameraDevice>> simulated_devices() {
    std::vector<std::shared_ptr<sim::SimCamera>> cameras;
    {
        std::lock_guard<std::mutex> lock(sim::g_registry_mutex);
        cameras = sim::g_cameras;
    }
    std::vector<std::shared_ptr<CameraDevice>> out;
    for (auto& c : cameras)
        if (c->is_plugged()) out.push_back(c);
    return out;
}

}  // namespace mfcompat
