// The C face of the simulated cameras, for callers without C++ (Python's ctypes).
#include <mfcompat/simulated_camera.h>
#include <mfcompat/simulated_camera_c.h>

#include <cstring>

using namespace mfcompat::sim;

namespace {

bool read_text(const uint16_t* text, int32_t length, std::optional<std::u16string>* out) {
    if (length == -1) return true;  // absent
    if (length < 0 || (length > 0 && !text)) return false;
    out->emplace(reinterpret_cast<const char16_t*>(text), size_t(length));
    return true;
}

GUID guid_from_bytes(const uint8_t bytes[16]) {
    GUID g;
    static_assert(sizeof(GUID) == 16, "GUID layout");
    std::memcpy(&g, bytes, 16);
    return g;
}

int32_t status(bool found) { return found ? 0 : MFCOMPAT_SIM_NO_CAMERA; }

}  // namespace

extern "C" {

MFCOMPAT_API int32_t mfcompat_sim_add_camera(const uint16_t* name, int32_t name_length, const uint16_t* link,
                                            int32_t link_length, const mfcompat_sim_format* formats,
                                            int32_t format_count, uint32_t flags) {
    CameraConfig config;
    if (!read_text(name, name_length, &config.friendly_name) || !read_text(link, link_length, &config.symbolic_link))
        return MFCOMPAT_SIM_BAD_ARGUMENT;
    if (format_count < 0 || (format_count > 0 && !formats)) return MFCOMPAT_SIM_BAD_ARGUMENT;
    if (flags & ~uint32_t(MFCOMPAT_SIM_PACED | MFCOMPAT_SIM_ACCEPT_ANY_FORMAT)) return MFCOMPAT_SIM_BAD_ARGUMENT;
    for (int32_t i = 0; i < format_count; ++i) {
        const mfcompat_sim_format& in = formats[i];
        Format f;
        if (in.has_subtype) f.subtype = guid_from_bytes(in.subtype);
        if (in.has_frame_size) f.frame_size = std::make_pair(in.width, in.height);
        if (in.has_frame_rate) f.frame_rate = std::make_pair(in.rate_numerator, in.rate_denominator);
        config.formats.push_back(f);
    }
    config.paced = (flags & MFCOMPAT_SIM_PACED) != 0;
    config.accept_any_format = (flags & MFCOMPAT_SIM_ACCEPT_ANY_FORMAT) != 0;
    return add_camera(config);
}

MFCOMPAT_API int32_t mfcompat_sim_remove_camera(int32_t id) { return status(remove_camera(id)); }
MFCOMPAT_API void mfcompat_sim_remove_all(void) { remove_all_cameras(); }
MFCOMPAT_API int32_t mfcompat_sim_camera_count(void) { return int32_t(camera_count()); }

MFCOMPAT_API int32_t mfcompat_sim_set_source(int32_t id, int32_t source, uint8_t blue, uint8_t green, uint8_t red) {
    if (source == MFCOMPAT_SIM_MOVING_PATTERN) return status(set_moving_pattern(id));
    if (source == MFCOMPAT_SIM_SOLID_COLOUR) return status(set_solid_colour(id, blue, green, red));
    return MFCOMPAT_SIM_BAD_ARGUMENT;
}

MFCOMPAT_API int32_t mfcompat_sim_set_frames(int32_t id, const uint8_t* const* frames, const size_t* sizes,
                                            int32_t count) {
    if (count <= 0 || !frames || !sizes) return MFCOMPAT_SIM_BAD_ARGUMENT;
    std::vector<std::vector<uint8_t>> copy(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        if (sizes[i] > 0 && !frames[i]) return MFCOMPAT_SIM_BAD_ARGUMENT;
        if (sizes[i] > 0) copy[size_t(i)].assign(frames[i], frames[i] + sizes[i]);
    }
    return status(set_frames(id, copy));
}

MFCOMPAT_API int32_t mfcompat_sim_set_paced(int32_t id, int32_t paced) { return status(set_paced(id, paced != 0)); }

MFCOMPAT_API int32_t mfcompat_sim_set_accept_any_format(int32_t id, int32_t accept) {
    return status(set_accept_any_format(id, accept != 0));
}

MFCOMPAT_API int32_t mfcompat_sim_set_fault(int32_t id, int32_t fault, int32_t hr) {
    return mfcompat_sim_set_fault_after(id, fault, hr, 0);
}

MFCOMPAT_API int32_t mfcompat_sim_set_fault_after(int32_t id, int32_t fault, int32_t hr, uint64_t after) {
    if (fault < MFCOMPAT_SIM_FAULT_ACTIVATE || fault > MFCOMPAT_SIM_FAULT_SET_MEDIA_TYPE)
        return MFCOMPAT_SIM_BAD_ARGUMENT;
    return status(set_fault(id, Fault(fault), HRESULT(hr), after));
}

MFCOMPAT_API int32_t mfcompat_sim_set_media_type_script(int32_t id, const int32_t* hrs, int32_t count, int32_t repeat) {
    if (count < 0 || (count > 0 && !hrs)) return MFCOMPAT_SIM_BAD_ARGUMENT;
    std::vector<HRESULT> outcomes;
    if (count > 0) outcomes.assign(hrs, hrs + count);
    return status(set_media_type_script(id, outcomes, repeat != 0));
}

MFCOMPAT_API int32_t mfcompat_sim_set_script(int32_t id, const int32_t* outcomes, const int32_t* hrs, int32_t count,
                                            int32_t repeat) {
    if (count < 0 || (count > 0 && !outcomes)) return MFCOMPAT_SIM_BAD_ARGUMENT;
    std::vector<ScriptStep> script;
    for (int32_t i = 0; i < count; ++i) {
        if (outcomes[i] < MFCOMPAT_SIM_READ_NORMAL || outcomes[i] > MFCOMPAT_SIM_READ_UNPLUG)
            return MFCOMPAT_SIM_BAD_ARGUMENT;
        ScriptStep step;
        step.outcome = ReadOutcome(outcomes[i]);
        if (hrs) step.hr = HRESULT(hrs[i]);
        script.push_back(step);
    }
    return status(set_script(id, script, repeat != 0));
}

MFCOMPAT_API int32_t mfcompat_sim_unplug(int32_t id) { return status(unplug(id)); }
MFCOMPAT_API int32_t mfcompat_sim_replug(int32_t id) { return status(replug(id)); }

MFCOMPAT_API int32_t mfcompat_sim_get_counters(int32_t id, mfcompat_sim_counters* counters) {
    if (!counters) return MFCOMPAT_SIM_BAD_ARGUMENT;
    Counters c;
    if (!get_counters(id, &c)) return MFCOMPAT_SIM_NO_CAMERA;
    counters->activations = c.activations;
    counters->presentation_descriptors = c.presentation_descriptors;
    counters->readers_created = c.readers_created;
    counters->set_type_calls = c.set_type_calls;
    counters->reads = c.reads;
    counters->samples_delivered = c.samples_delivered;
    counters->flushes = c.flushes;
    counters->shutdowns = c.shutdowns;
    return 0;
}

MFCOMPAT_API int32_t mfcompat_sim_get_last_requested(int32_t id, mfcompat_sim_requested* requested) {
    if (!requested) return MFCOMPAT_SIM_BAD_ARGUMENT;
    RequestedType r;
    if (!get_last_requested(id, &r)) return MFCOMPAT_SIM_NO_CAMERA;
    requested->valid = r.valid ? 1 : 0;
    std::memcpy(requested->subtype, &r.subtype, 16);
    requested->width = r.width;
    requested->height = r.height;
    requested->rate_numerator = r.rate_numerator;
    requested->rate_denominator = r.rate_denominator;
    return 0;
}

MFCOMPAT_API int64_t mfcompat_sim_decode_frame_code(const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                                                   size_t stride, uint32_t pixel_bytes, uint32_t byte_offset) {
    return decode_frame_code(data, size, width, height, stride, pixel_bytes, byte_offset);
}

}  // extern "C"
