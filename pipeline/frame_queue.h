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
// an atomic so that the output worker can test for emptiness without taking the lock.
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

    // Buffers the output worker gave back, all of spare_bytes each, reused by the next pushes so
    // that a running relay stops allocating (and page-faulting in) a fresh picture each time.
    // At most three buffers of one size ever circulate: two queued and one being sent.
    static constexpr size_t kMaxSpares = 3;
    std::array<uint8_t*, kMaxSpares> spares{};
    size_t spare_count = 0;
    size_t spare_bytes = 0;
};

// Copies a picture into the queue, dropping the oldest when two are queued. A picture whose rows
// hold at least width x 3 bytes is stored packed (stride width x 3, the RGB24 layout the virtual
// camera takes); otherwise height x stride bytes are kept as they are.
void push_frame(PyVideoCapture& session, const uint8_t* data, int32_t width, int32_t height, int32_t stride);
// Removes the oldest picture; nothing when the queue was emptied meanwhile.
std::optional<QueuedFrame> pop_frame(PyVideoCapture& session);
// Sleeps until a picture is queued or the session stops running, then removes the oldest
// picture; nothing once the session has stopped (pictures still queued stay for clear_frames).
std::optional<QueuedFrame> wait_frame(PyVideoCapture& session);
// Hands a popped picture's buffer back for reuse by later pushes (or frees it); data is cleared.
void recycle_frame(PyVideoCapture& session, QueuedFrame& frame);
// Wakes an output worker sleeping in wait_frame so that it sees a cleared running flag.
void wake_output(PyVideoCapture& session);
// Without the lock: whether a picture may be waiting.
bool frames_waiting(const PyVideoCapture& session);
// Frees every queued and spare picture buffer, empties the queue and wakes the output worker.
void clear_frames(PyVideoCapture& session);
