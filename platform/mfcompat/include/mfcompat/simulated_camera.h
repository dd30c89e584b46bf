// Simulated cameras: in-process capture devices for tests and demos, listed before the real
// cameras. Every call is thread-safe.
#pragma once

#include <mfapi.h>
#include <mferror.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mfcompat {
namespace sim {

using CameraId = int32_t;  // > 0; never reused within a process

// One native media type; absent attributes are missing from the media type.
struct Format {
    std::optional<GUID> subtype;
    std::optional<std::pair<uint32_t, uint32_t>> frame_size;  // width, height
    std::optional<std::pair<uint32_t, uint32_t>> frame_rate;  // numerator, denominator (either may be 0)
};

// Shorthand for a complete native type.
MFCOMPAT_API Format format(const GUID& subtype, uint32_t width, uint32_t height, uint32_t rate_num, uint32_t rate_den);

enum class FrameSource {
    moving_pattern,  // colour bars moving by 4 px a frame, the frame number coded in the top rows
    solid_colour,    // one B,G,R colour everywhere
    frame_list,      // the given frames, served in a loop and unmodified
};

// One scripted read outcome. Script steps are consumed one per read, before normal delivery.
// A read that delivers nothing for 5 s of platform time fails with MFCOMPAT_E_TIMEOUT.
enum class ReadOutcome : int32_t {
    normal = 0,         // deliver a frame as usual
    error = 1,          // fail with `hr`
    end_of_stream = 2,  // good result, MF_SOURCE_READERF_ENDOFSTREAM, no sample
    stream_tick = 3,    // good result, MF_SOURCE_READERF_STREAMTICK, no sample
    no_sample = 4,      // good result, no flags, no sample
    truncated = 5,      // a normal frame cut to half its bytes
    block = 6,          // wait until a flush (then: good read, no sample), a shutdown, an unplug or the timeout
    unplug = 7,         // the camera is unplugged at this read (see unplug()) until replug()
};

struct ScriptStep {
    ReadOutcome outcome = ReadOutcome::normal;
    HRESULT hr = E_FAIL;  // used by `error` only
};

// The steps of opening that can be made to fail.
enum class Fault : int32_t {
    activate = 0,
    presentation_descriptor = 1,
    create_reader = 2,
    set_media_type = 3,
};

struct CameraConfig {
    std::optional<std::u16string> friendly_name;
    std::optional<std::u16string> symbolic_link;
    std::vector<Format> formats;
    FrameSource source = FrameSource::moving_pattern;
    uint8_t blue = 0, green = 0, red = 0;  // solid_colour
    std::vector<std::vector<uint8_t>> frames;  // frame_list
    // Real time at the requested rate (a zero numerator or denominator means 30/1), or as fast
    // as reads come.
    bool paced = true;
    // SetCurrentMediaType normally requires a native type whose subtype and frame size (as far as
    // the native type has them) equal the request; the rate is not compared. With this set, any
    // request is accepted.
    bool accept_any_format = false;
    std::vector<ScriptStep> script;
    bool repeat_script = false;  // run the script forever instead of once
};

struct Counters {
    uint64_t activations = 0;              // ActivateObject calls reaching the camera
    uint64_t presentation_descriptors = 0; // CreatePresentationDescriptor calls
    uint64_t readers_created = 0;          // MFCreateSourceReaderFromMediaSource calls
    uint64_t set_type_calls = 0;           // SetCurrentMediaType calls
    uint64_t reads = 0;                    // ReadSample calls that reached a stream
    uint64_t samples_delivered = 0;        // reads that returned a sample
    uint64_t flushes = 0;                  // Flush calls that reached a stream
    uint64_t shutdowns = 0;                // media source shutdowns
};

// The media type of the last SetCurrentMediaType; zero where the request lacked the attribute.
struct RequestedType {
    bool valid = false;  // false until the first SetCurrentMediaType
    GUID subtype{};
    uint32_t width = 0, height = 0, rate_numerator = 0, rate_denominator = 0;
};

MFCOMPAT_API CameraId add_camera(const CameraConfig& config);
MFCOMPAT_API bool remove_camera(CameraId id);  // like an unplug that never comes back
MFCOMPAT_API void remove_all_cameras();
MFCOMPAT_API size_t camera_count();

// Unplugged: listed no more, activation and opening fail, every read of its open streams fails
// with MF_E_VIDEO_RECORDING_DEVICE_INVALIDATED. Replugged: listed again and opens afresh; streams
// from before the unplug stay broken, as on Windows.
MFCOMPAT_API bool unplug(CameraId id);
MFCOMPAT_API bool replug(CameraId id);

// The step fails with `hr` once `after` calls of it have succeeded from now on (0: at once). S_OK
// clears the fault. A failing SetCurrentMediaType counts only calls whose request fits the camera.
MFCOMPAT_API bool set_fault(CameraId id, Fault fault, HRESULT hr, uint64_t after = 0);
// Outcomes of the next SetCurrentMediaType calls, one per call: a failure refuses the call with
// it, S_OK lets the call go on as usual. Used up (and not repeating), calls go on as usual.
MFCOMPAT_API bool set_media_type_script(CameraId id, const std::vector<HRESULT>& outcomes, bool repeat);
// Replaces the script (and its position).
MFCOMPAT_API bool set_script(CameraId id, const std::vector<ScriptStep>& script, bool repeat);
MFCOMPAT_API bool set_paced(CameraId id, bool paced);
MFCOMPAT_API bool set_accept_any_format(CameraId id, bool accept);
MFCOMPAT_API bool set_solid_colour(CameraId id, uint8_t blue, uint8_t green, uint8_t red);
MFCOMPAT_API bool set_moving_pattern(CameraId id);
MFCOMPAT_API bool set_frames(CameraId id, const std::vector<std::vector<uint8_t>>& frames);

MFCOMPAT_API bool get_counters(CameraId id, Counters* counters);
MFCOMPAT_API bool get_last_requested(CameraId id, RequestedType* requested);

// The frame number coded in a moving-pattern picture: blocks of 16x16 pixels, left to right then
// top to bottom from the top-left corner, 32 of them, most significant bit first, white = 1 and
// black = 0 (as many blocks per row as the width holds). Reads byte `byte_offset` of the block
// centre's pixel, `pixel_bytes` bytes apart: BGR24 (3, any), a Y plane of NV12/I420 or MJPEG
// decoded (1, 0), YUY2 (2, 0), P010 (2, 1). Returns -1 when the picture is too small or the
// arguments do not fit `size`.
MFCOMPAT_API int64_t decode_frame_code(const uint8_t* data, size_t size, uint32_t width, uint32_t height,
                                       size_t stride, uint32_t pixel_bytes, uint32_t byte_offset);

}  // namespace sim
}  // namespace mfcompat
