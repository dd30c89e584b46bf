// The control of the simulated cameras: the process-wide registry, what a test changes on a
// camera (plugging, faults, scripts, frames, pacing) and what it reads back (counters).
#include "sim_camera.h"

#include <algorithm>

namespace mfcompat {
namespace sim {
namespace {

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

bool SimCamera::is_plugged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !unplugged_;
}

void SimCamera::set_fault(Fault fault, HRESULT hr, uint64_t after) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[int(fault)] = {hr, after};
}

void SimCamera::set_media_type_script(const std::vector<HRESULT>& outcomes, bool repeat) {
    std::lock_guard<std::mutex> lock(mutex_);
    type_script_ = outcomes;
    repeat_type_script_ = repeat;
    type_script_position_ = 0;
}

void SimCamera::set_script(const std::vector<ScriptStep>& script, bool repeat) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.script = script;
    config_.repeat_script = repeat;
    script_position_ = 0;
}

void SimCamera::set_frames(const std::vector<std::vector<uint8_t>>& frames) {
    auto copy = std::make_shared<const std::vector<std::vector<uint8_t>>>(frames);
    std::lock_guard<std::mutex> lock(mutex_);
    frames_ = std::move(copy);
    config_.source = FrameSource::frame_list;
}

void SimCamera::set_solid(uint8_t b, uint8_t g, uint8_t r) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.source = FrameSource::solid_colour;
    config_.blue = b;
    config_.green = g;
    config_.red = r;
}

void SimCamera::set_moving() {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.source = FrameSource::moving_pattern;
}

void SimCamera::set_paced(bool paced) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.paced = paced;
}

void SimCamera::set_accept_any(bool accept) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.accept_any_format = accept;
}

Counters SimCamera::counters() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

RequestedType SimCamera::last_requested() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_requested_;
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
