// The capture session behind Python's VideoCapture.
#pragma once

#include "capture/stop_event.h"
#include "devices/camera_records.h"
#include "pipeline/frame_queue.h"
#include "pipeline/mjpeg_decoder.h"
#include "pipeline/uncompressed_conversion.h"

#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class PyVideoCapture {
public:
    PyVideoCapture();
    ~PyVideoCapture();
    PyVideoCapture(const PyVideoCapture&) = delete;
    PyVideoCapture& operator=(const PyVideoCapture&) = delete;

    // Ignores the session; lists the machine's cameras.
    std::vector<CameraInfo> enumerate_cameras();
    // `interrupted` is asked at every poll of the wait for the first good read; when it answers
    // true (the caller has a signal to deliver), the session is stopped and start returns false.
    bool start(const WideString& device_1, const WideString& device_2, uint32_t width, uint32_t height,
               uint32_t fps, const WideString& subtype_name, int32_t type,
               const std::function<bool()>& interrupted = {});
    void stop();
    void switch_camera();
    bool is_running() const;
    // True while start runs (it may call back into its caller through `interrupted`).
    bool is_starting() const { return starting_; }

    // Joins every worker, then releases the queue, the cameras and the virtual camera.
    void stop_session();
    // Empties the queue, releases both cameras, deletes the virtual camera. Harmless to repeat.
    void teardown();

    std::atomic<int32_t> active_device{0};
    bool dual_device = false;
    std::array<WideString, 2> device_ids;
    int32_t width = 1280;
    int32_t height = 720;
    int32_t type = 0;
    int32_t fps = 30;
    GUID subtype = MFVideoFormat_RGB24;
    std::array<Microsoft::WRL::ComPtr<IMFSourceReader>, 2> readers;
    std::array<Microsoft::WRL::ComPtr<IMFMediaSource>, 2> sources;
    std::atomic<bool> running{false};
    std::atomic<bool> first_sample_pending{false};
    // Set whenever `running` is cleared: ends the workers' reconnection waits.
    StopEvent stop_event;
    // The virtual camera this session created; 0 when it holds none. Another session's start may
    // have replaced that camera since: only a camera this session created is deleted by it.
    std::atomic<uint64_t> camera_token{0};
    std::mutex queue_mutex;
    std::mutex decode_mutex;
    std::array<std::thread, 2> capture_threads;
    std::thread output_thread;
    FrameQueue frame_queue;
    std::unique_ptr<MjpegDecoder> mjpeg_decoder;

    // Scaler cache for uncompressed samples.
    RawConverter raw_converter;

    // The slots are written by a reconnecting worker while a giving-up worker's teardown may read
    // them; their counted references are copied in and out under this lock.
    std::mutex slot_mutex;
    void take_slots(int index, Microsoft::WRL::ComPtr<IMFMediaSource>& source,
                    Microsoft::WRL::ComPtr<IMFSourceReader>& reader);
    void put_slots(int index, const Microsoft::WRL::ComPtr<IMFMediaSource>& source,
                   const Microsoft::WRL::ComPtr<IMFSourceReader>& reader);
    Microsoft::WRL::ComPtr<IMFSourceReader> reader_copy(int index);

private:
    void join_workers();
    // True when a good read came while the session runs; false when it ended, no good read came
    // within the time limit, or the caller was interrupted.
    bool wait_for_first_sample(const std::function<bool()>& interrupted);

    bool starting_ = false;
};
