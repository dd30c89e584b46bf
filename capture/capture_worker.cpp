#include "capture/capture_worker.h"

#include "capture/video_capture.h"
#include "common/diagnostic_line.h"
#include "devices/device_opening.h"
#include "pipeline/frame_decoder.h"

#include <mfidl.h>
#include <mfreadwrite.h>
#include <windows.h>
#include <wrl/client.h>

#include <thread>

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kFailureLimit = 2;
constexpr DWORD kStreamTickPauseMs = 10;
constexpr DWORD kInactivePauseMs = 1;
constexpr DWORD kGiveUpPauseMs = 300;
constexpr DWORD kReconnectWaitMs = 5000;

}  // namespace

bool reconnect_device(PyVideoCapture& session, int device_index) {
    diagnostic_line("Try reconnect device %d...\n", device_index);
    const WideString device_id = session.device_ids[device_index];
    ComPtr<IMFMediaSource> source;
    ComPtr<IMFSourceReader> reader;
    session.take_slots(device_index, source, reader);
    release_device(reader, source);

    // A stop during the wait abandons the reconnection: reopening would only delay the stop.
    if (session.stop_event.wait(kReconnectWaitMs)) return false;

    session.take_slots(device_index, source, reader);
    const bool opened = open_device(session, device_id, source, reader);
    session.put_slots(device_index, source, reader);
    diagnostic_line(opened ? "Reconnect device %d success\n" : "Reconnect device %d failed\n", device_index);
    return opened;
}

namespace {

// A worker that cannot go on ends its session; whoever stops a running session tears it down.
void give_up(PyVideoCapture& session) {
    session.running.exchange(false);
    session.stop_event.set();
    // Lets the other workers see `running` clear and leave their last pass first.
    Sleep(kGiveUpPauseMs);
    session.teardown();
}

// Converting one sample may run out of memory (a huge picture); that picture is dropped and the
// worker goes on. Said once per worker, not for every picture.
void process_sample_or_drop(PyVideoCapture& session, IMFSample* sample, int device_index, bool& told) {
    try {
        process_sample(session, sample);
    } catch (...) {
        if (!told) {
            told = true;
            diagnostic_line("Frames of device %d dropped: out of memory while converting; choose a smaller size\n",
                            device_index);
        }
    }
}

void capture_loop_body(PyVideoCapture& session, int device_index);

}  // namespace

void capture_loop(PyVideoCapture& session, int device_index) {
    // The thread's entry: nothing thrown below may reach std::terminate in the host process.
    try {
        capture_loop_body(session, device_index);
    } catch (...) {
        try {
            diagnostic_line("Capture of device %d stopped: out of memory; start again with a smaller size\n",
                            device_index);
            // Stopped meanwhile: whoever stopped the session tears it down.
            if (session.running) give_up(session);
        } catch (...) {
        }
    }
}

namespace {

void capture_loop_body(PyVideoCapture& session, int device_index) {
    if (!session.running) return;
    int failures = 0;
    bool told_drop = false;

    for (;;) {
        ComPtr<IMFSourceReader> reader = session.reader_copy(device_index);
        ComPtr<IMFSample> sample;
        bool lost = false;

        if (!reader) {
            // A reconnection that failed at reader creation leaves the slot empty; waiting here
            // would report a running session that delivers nothing, so try to reconnect again.
            lost = true;
        } else {
            DWORD flags = 0;
            const HRESULT hr = reader->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, nullptr, &flags, nullptr,
                                                  sample.GetAddressOf());
            if (FAILED(hr)) {
                diagnostic_line("ReadSample failed: 0x%08X\n", static_cast<unsigned>(hr));
                lost = true;
            } else if (flags & MF_SOURCE_READERF_ENDOFSTREAM) {
                diagnostic_line("ENDOFSTREAM\n");
                lost = true;
            } else if (flags & MF_SOURCE_READERF_STREAMTICK) {
                Sleep(kStreamTickPauseMs);
            } else {
                session.first_sample_pending = false;
                failures = 0;
                if (device_index == session.active_device) {
                    if (sample) {
                        process_sample_or_drop(session, sample.Get(), device_index, told_drop);
                    } else {
                        std::this_thread::yield();
                    }
                } else {
                    sample.Reset();
                    Sleep(kInactivePauseMs);
                }
            }
        }

        if (lost) {
            const bool reopened = reconnect_device(session, device_index);
            // Stopped meanwhile (by stop or by the other worker giving up): whoever stopped the
            // session tears it down.
            if (!session.running) return;
            if (!reopened && ++failures >= kFailureLimit) {
                give_up(session);
                return;
            }
        }
        sample.Reset();
        reader.Reset();
        if (!session.running) return;
    }
}

}  // namespace
