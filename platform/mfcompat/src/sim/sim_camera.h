// Internal: a simulated camera (the device, sim_camera.cpp) and the stream it opens
// (sim_stream.cpp); the registry and the control API (sim_control.cpp) hold the cameras.
#pragma once

#include <mfcompat/simulated_camera.h>

#include "../camera_device.h"
#include "pattern.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace mfcompat {
namespace sim {

using Clock = std::chrono::steady_clock;

class SimStream;

class SimCamera final : public CameraDevice, public std::enable_shared_from_this<SimCamera> {
public:
    SimCamera(CameraId id, const CameraConfig& config);

    CameraId id() const { return id_; }

    // --- the device ---
    bool friendly_name(std::u16string* name) override;
    bool symbolic_link(std::u16string* link) override;
    HRESULT activate() override;
    HRESULT create_presentation_descriptor() override;
    HRESULT create_reader() override;
    std::vector<NativeFormat> native_formats() override;
    HRESULT open_stream(const RequestedFormat& format, std::unique_ptr<CameraStream>* stream) override;
    void source_shutdown() override;

    // --- control ---
    void set_plugged(bool plugged);
    void set_plugged_locked(bool plugged);
    bool is_plugged();
    void set_fault(Fault fault, HRESULT hr, uint64_t after);
    void set_media_type_script(const std::vector<HRESULT>& outcomes, bool repeat);
    void set_script(const std::vector<ScriptStep>& script, bool repeat);
    void set_frames(const std::vector<std::vector<uint8_t>>& frames);
    void set_solid(uint8_t b, uint8_t g, uint8_t r);
    void set_moving();
    void set_paced(bool paced);
    void set_accept_any(bool accept);
    Counters counters();
    RequestedType last_requested();

private:
    friend class SimStream;

    HRESULT opening_step(uint64_t Counters::*counter, Fault fault);
    // Called for a call of the step that would succeed: a fault still counting down lets it.
    HRESULT fault_result_locked(Fault fault);
    // The scripted result of one SetCurrentMediaType call: S_OK lets the call go on as usual.
    HRESULT next_type_outcome_locked();
    bool accepts_locked(const RequestedFormat& r) const;
    // The next scripted outcome, or normal once the script is used up.
    ScriptStep next_step_locked();

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
              Clock::duration period);
    ~SimStream() override;

    bool init() { return encoder_.init(); }

    // Called with the camera's lock held.
    void invalidate_locked() { invalidated_ = true; }

    ReadResult read() override;
    void flush() override;
    void shutdown() override;

private:
    HRESULT broken_locked() const;

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

}  // namespace sim
}  // namespace mfcompat
