// The two-picture queue between the frame decoder and the output worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>

class PyVideoCapture;

// One queued picture; whoever takes it out of the queue owns data and frees it with free().
struct QueuedFrame {
    uint8_t* data = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;
};

// FIFO of queued pictures. Changed only under the session's queue_mutex; the size is mirrored in
// an atomic so that the output worker can test for emptiness without taking the lock.
struct FrameQueue {
    std::deque<QueuedFrame> frames;
    std::atomic<size_t> size{0};
};

// Copies a picture of height x stride bytes into the queue, dropping the oldest when two are queued.
void push_frame(PyVideoCapture& session, const uint8_t* data, int32_t width, int32_t height, int32_t stride);
// Removes the oldest picture; nothing when the queue was emptied meanwhile.
std::optional<QueuedFrame> pop_frame(PyVideoCapture& session);
// Without the lock: whether a picture may be waiting.
bool frames_waiting(const PyVideoCapture& session);
// Frees every queued picture and empties the queue.
void clear_frames(PyVideoCapture& session);
