// A simulated camera's stream: paced reads of generated or given frames, the scripted read
// outcomes, and the wake-ups by flush, shutdown and unplug.
#include "sim_camera.h"

#include "../platform_clock.h"

#include <algorithm>

namespace mfcompat {
namespace sim {

SimStream::SimStream(std::shared_ptr<SimCamera> camera, const GUID& subtype, uint32_t width, uint32_t height,
                     Clock::duration period)
    : camera_(std::move(camera)), encoder_(subtype, width, height), period_(period), start_(Clock::now()),
      next_due_(start_) {
    canvas_.width = width;
    canvas_.height = height;
}

SimStream::~SimStream() {
    std::lock_guard<std::mutex> lock(camera_->mutex_);
    auto& list = camera_->streams_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

ScriptStep SimCamera::next_step_locked() {
    const auto& script = config_.script;
    if (script.empty()) return ScriptStep{};
    if (script_position_ >= script.size()) {
        if (!config_.repeat_script) return ScriptStep{};
        script_position_ = 0;
    }
    return script[script_position_++];
}

HRESULT SimStream::broken_locked() const {
    if (shut_down_) return MF_E_SHUTDOWN;
    if (invalidated_) return MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED;
    return S_OK;
}

ReadResult SimStream::read() {
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

void SimStream::flush() {
    std::lock_guard<std::mutex> lock(camera_->mutex_);
    ++camera_->counters_.flushes;
    ++flush_generation_;
    camera_->wake_.notify_all();
}

void SimStream::shutdown() {
    std::lock_guard<std::mutex> lock(camera_->mutex_);
    shut_down_ = true;
    camera_->wake_.notify_all();
}

}  // namespace sim
}  // namespace mfcompat
