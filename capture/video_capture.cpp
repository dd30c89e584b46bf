#include "capture/video_capture.h"

#include "capture/capture_worker.h"
#include "capture/session_registry.h"
#include "common/diagnostic_line.h"
#include "devices/camera_enumeration.h"
#include "devices/device_opening.h"
#include "pipeline/output_worker.h"
#include "pipeline/virtual_camera_holder.h"

#include <mfapi.h>
#include <windows.h>

using Microsoft::WRL::ComPtr;

namespace {

constexpr DWORD kHandshakePollMs = 10;
// A camera that opens but never delivers a good read (a read that blocks, only stream ticks, or
// an end of stream after every successful reconnection) must not keep start waiting for ever.
constexpr ULONGLONG kFirstSampleTimeoutMs = 20000;

// Clears a flag when start returns, whichever way.
struct FlagGuard {
    bool& flag;
    explicit FlagGuard(bool& f) : flag(f) { flag = true; }
    ~FlagGuard() { flag = false; }
};

}  // namespace

PyVideoCapture::PyVideoCapture() : mjpeg_decoder(std::make_unique<MjpegDecoder>()) {
    MFStartup(MF_VERSION, MFSTARTUP_FULL);
    register_session(this);
}

PyVideoCapture::~PyVideoCapture() {
    // Twice on purpose: a session that a worker ended is not running but still has threads to join.
    if (running) stop_session();
    stop_session();
    unregister_session(this);
    raw_converter.release();
    raw_converter.src_frame.reset();
    MFShutdown();
    mjpeg_decoder->release();
    mjpeg_decoder.reset();
    frame_queue.frames.clear();
    frame_queue.frames.shrink_to_fit();
    sources[1].Reset();
    sources[0].Reset();
    readers[1].Reset();
    readers[0].Reset();
}

std::vector<CameraInfo> PyVideoCapture::enumerate_cameras() { return ::enumerate_cameras(); }

bool PyVideoCapture::start(const WideString& device_1, const WideString& device_2, uint32_t width_, uint32_t height_,
                           uint32_t fps_, const WideString& subtype_name, int32_t type_,
                           const std::function<bool()>& interrupted) {
    const FlagGuard starting(starting_);
    if (running) stop_session();
    const GUID requested = subtype_for_name(subtype_name);
    join_workers();

    device_ids[0] = device_1;
    device_ids[1] = device_2;
    // Stored bit for bit: a value above INT32_MAX is held as a negative number.
    width = static_cast<int32_t>(width_);
    height = static_cast<int32_t>(height_);
    fps = static_cast<int32_t>(fps_);
    subtype = requested;
    type = type_;
    // No camera streams zero pixels; a camera that accepts such a request would run a session
    // whose every sample is rejected.
    if (width == 0 || height == 0) return false;

    stop_event.reset();
    running = true;
    active_device = 0;
    dual_device = !device_2.empty();

    bool opened = false;
    {
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFSourceReader> reader;
        take_slots(0, source, reader);
        opened = open_device(*this, device_ids[0], source, reader);
        put_slots(0, source, reader);
    }
    if (!opened) {
        stop_session();
        return false;
    }
    if (dual_device) {
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFSourceReader> reader;
        take_slots(1, source, reader);
        const bool second = open_device(*this, device_ids[1], source, reader);
        put_slots(1, source, reader);
        if (!second) {
            diagnostic_line("Second device init failed, fallback to single cam\n");
            dual_device = false;
        }
    }

    // Installed once the platform has built what opening needs, so that at exit the workers are
    // stopped before those statics are destroyed.
    stop_sessions_at_exit();
    first_sample_pending = true;
    capture_threads[0] = std::thread(capture_loop, std::ref(*this), 0);
    bool delivering = wait_for_first_sample(interrupted);
    if (delivering && dual_device) {
        first_sample_pending = true;
        capture_threads[1] = std::thread(capture_loop, std::ref(*this), 1);
        delivering = wait_for_first_sample(interrupted);
    }

    if (delivering && running) {
        camera_token = VirtualCameraHolder::instance().create_camera(width, height, static_cast<float>(fps), type);
        output_thread = std::thread(output_loop, std::ref(*this));
        return true;
    }
    stop_session();
    return false;
}

bool PyVideoCapture::wait_for_first_sample(const std::function<bool()>& interrupted) {
    const ULONGLONG began = GetTickCount64();
    while (first_sample_pending && running) {
        if (interrupted && interrupted()) return false;
        if (GetTickCount64() - began >= kFirstSampleTimeoutMs) return false;
        Sleep(kHandshakePollMs);
    }
    return running;
}

void PyVideoCapture::stop() {
    if (running) stop_session();
}

void PyVideoCapture::switch_camera() {
    // A reader left in slot 1 by an earlier dual session has no worker now: switching to it
    // would freeze the output, so only a running dual session switches.
    if (!running || !dual_device) return;
    {
        std::lock_guard<std::mutex> lock(slot_mutex);
        if (!readers[1]) return;
    }
    const int32_t next = 1 - active_device.load();
    active_device = next;
    diagnostic_line("Switch to device %d\n", next);
}

bool PyVideoCapture::is_running() const { return running; }

void PyVideoCapture::stop_session() {
    first_sample_pending = false;
    if (running) running.exchange(false);
    stop_event.set();
    // The output worker sleeps until a picture or a stop arrives.
    wake_output(*this);
    // A camera that delivers nothing would keep its worker inside a read forever; a flush makes
    // the waiting read return so that the join below cannot hang.
    for (int i = 0; i < 2; ++i) {
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFSourceReader> reader;
        take_slots(i, source, reader);
        if (reader) reader->Flush(MF_SOURCE_READER_FIRST_VIDEO_STREAM);
    }
    join_workers();
    teardown();
}

void PyVideoCapture::join_workers() {
    if (capture_threads[0].joinable()) capture_threads[0].join();
    if (capture_threads[1].joinable()) capture_threads[1].join();
    if (output_thread.joinable()) output_thread.join();
}

void PyVideoCapture::teardown() {
    clear_frames(*this);
    for (int i = 0; i < 2; ++i) {
        ComPtr<IMFMediaSource> source;
        ComPtr<IMFSourceReader> reader;
        take_slots(i, source, reader);
        release_device(reader, source);
    }
    VirtualCameraHolder::instance().delete_camera(camera_token.exchange(0));
}

void PyVideoCapture::take_slots(int index, ComPtr<IMFMediaSource>& source, ComPtr<IMFSourceReader>& reader) {
    std::lock_guard<std::mutex> lock(slot_mutex);
    source = sources[index];
    reader = readers[index];
}

void PyVideoCapture::put_slots(int index, const ComPtr<IMFMediaSource>& source, const ComPtr<IMFSourceReader>& reader) {
    std::lock_guard<std::mutex> lock(slot_mutex);
    sources[index] = source;
    readers[index] = reader;
}

ComPtr<IMFSourceReader> PyVideoCapture::reader_copy(int index) {
    std::lock_guard<std::mutex> lock(slot_mutex);
    return readers[index];
}
