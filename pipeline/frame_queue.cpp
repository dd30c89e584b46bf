#include "pipeline/frame_queue.h"

#include "capture/video_capture.h"
#include "pipeline/stage_probes.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>

namespace {

// Keeps the lock-free emptiness test in step with the deque; called with queue_mutex held.
void mirror_size(FrameQueue& queue) { queue.size.store(queue.frames.size(), std::memory_order_release); }

}  // namespace

void push_frame(PyVideoCapture& session, const uint8_t* data, int32_t width, int32_t height, int32_t stride) {
    TRELVO_STAGE_PROBE(PipelineStage::queue_copy);
    std::lock_guard<std::mutex> guard(session.queue_mutex);
    if (data == nullptr || width <= 0 || height <= 0 || stride <= 0) {
        return;
    }
    // 64-bit product: height x stride can exceed 32 bits for absurd sizes.
    const uint64_t bytes = static_cast<uint64_t>(height) * static_cast<uint64_t>(stride);
    // (max)(): windows.h defines a max macro unless NOMINMAX is set.
    if (bytes > (std::numeric_limits<size_t>::max)()) {
        return;
    }
    auto* copy = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(bytes)));
    if (copy == nullptr) {
        return;
    }
    std::memcpy(copy, data, static_cast<size_t>(bytes));

    FrameQueue& queue = session.frame_queue;
    // Exactly one picture makes room for the new one; the queue never holds more than two.
    if (queue.frames.size() >= 2) {
        std::free(queue.frames.front().data);
        queue.frames.pop_front();
    }
    queue.frames.push_back(QueuedFrame{copy, width, height, stride});
    mirror_size(queue);
}

std::optional<QueuedFrame> pop_frame(PyVideoCapture& session) {
    std::lock_guard<std::mutex> guard(session.queue_mutex);
    FrameQueue& queue = session.frame_queue;
    // A clear_frames may have run between the caller's emptiness test and the lock.
    if (queue.frames.empty()) {
        return std::nullopt;
    }
    QueuedFrame frame = queue.frames.front();
    queue.frames.pop_front();
    mirror_size(queue);
    return frame;
}

bool frames_waiting(const PyVideoCapture& session) {
    return session.frame_queue.size.load(std::memory_order_acquire) != 0;
}

void clear_frames(PyVideoCapture& session) {
    std::lock_guard<std::mutex> guard(session.queue_mutex);
    FrameQueue& queue = session.frame_queue;
    while (!queue.frames.empty()) {
        std::free(queue.frames.front().data);
        queue.frames.pop_front();
    }
    mirror_size(queue);
}
