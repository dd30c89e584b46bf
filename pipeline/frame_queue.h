// The two-picture queue between the frame decoder and the output worker.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

class PyVideoCapture;

// One queued picture; whoever takes it out of the queue owns data and either frees it with
// free() or hands it back with recycle_frame().
struct QueuedFrame {
    uint8_t* data = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
};

// FIFO of queued pictures. Changed only under the session's queue_mutex; the size is mirrored in
// an atomic for frames_waiting, which reads it without the lock (the output worker waits in
// wait_frame, under the lock).
struct FrameQueue {
    FrameQueue() = default;
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;
    // Frees whatever is still queued or spare.
    ~FrameQueue();

    std::deque<QueuedFrame> frames;
    std::atomic<size_t> size{0};
    // Signalled when a picture is queued and when the session stops, so that the output worker
    // sleeps while there is nothing to send.
    std::condition_variable ready;

    // Buffers given back (by the output worker, by a conversion that failed, by a dropped picture),
    // all of spare_bytes each, taken by the next conversion so that a running relay stops
    // allocating (and page-faulting in) a fresh picture each time. At most four buffers of one
    // size circulate: two queued, one being sent and one being written.
    static constexpr size_t kMaxSpares = 4;
    std::array<uint8_t*, kMaxSpares> spares{};
    size_t spare_count = 0;
    size_t spare_bytes = 0;
};

// A buffer for one packed RGB24 picture of width x height (stride width x 3): a spare when there
// is one of that size, else a new one; data is null for a size not positive or when memory cannot
// be had. The caller fills it and hands it to queue_frame or back with recycle_frame.
QueuedFrame take_frame_buffer(PyVideoCapture& session, int32_t width, int32_t height);
// Queues a filled buffer, dropping the oldest picture when two are queued, and wakes the output
// worker; frame.data is cleared (the queue owns it). A frame without data is ignored.
void queue_frame(PyVideoCapture& session, QueuedFrame& frame);
// Removes the oldest picture; nothing when the queue was emptied meanwhile.
std::optional<QueuedFrame> pop_frame(PyVideoCapture& session);
// Sleeps until a picture is queued or the session stops running, then removes the oldest
// picture; nothing once the session has stopped (pictures still queued stay for clear_frames).
std::optional<QueuedFrame> wait_frame(PyVideoCapture& session);
// Hands a buffer back for reuse by later conversions (or frees it); data is cleared.
void recycle_frame(PyVideoCapture& session, QueuedFrame& frame);
// Wakes an output worker sleeping in wait_frame so that it sees a cleared running flag.
void wake_output(PyVideoCapture& session);
// Without the lock: whether a picture may be waiting.
bool frames_waiting(const PyVideoCapture& session);
// Frees every queued and spare picture buffer, empties the queue and wakes the output worker.
void clear_frames(PyVideoCapture& session);
