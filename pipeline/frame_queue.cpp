#include "pipeline/frame_queue.h"

#include "capture/video_capture.h"
#include "pipeline/stage_probes.h"

#include <cstdlib>
#include <limits>
#include <mutex>

namespace {

// Sizes are rounded to whole cache lines. The buffers come from malloc, not aligned_alloc: every
// queued picture is released with free(), which Windows' aligned allocations do not allow.
constexpr size_t kBufferAlignment = 64;

// Keeps frames_waiting in step with the deque; called with queue_mutex held.
void mirror_size(FrameQueue& queue) { queue.size.store(queue.frames.size(), std::memory_order_release); }

uint64_t frame_bytes(const QueuedFrame& frame) {
    return static_cast<uint64_t>(frame.height) * static_cast<uint64_t>(frame.stride);
}

// A buffer that free() releases; null when bytes cannot be had.
uint8_t* allocate_picture(uint64_t bytes) {
    if (bytes > (std::numeric_limits<size_t>::max)() - kBufferAlignment) {
        return nullptr;
    }
    const size_t rounded = (static_cast<size_t>(bytes) + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
    return static_cast<uint8_t*>(std::malloc(rounded));
}

// The spare helpers run with queue_mutex held and only move pointers: what they leave to be freed
// goes into a Discarded, freed once the lock is released.
struct Discarded {
    std::array<uint8_t*, FrameQueue::kMaxSpares + 1> buffers{};
    size_t count = 0;
    void add(uint8_t* buffer) {
        if (buffer != nullptr && count < buffers.size()) buffers[count++] = buffer;
    }
    ~Discarded() {
        for (size_t i = 0; i < count; ++i) std::free(buffers[i]);
    }
};

void drop_spares(FrameQueue& queue, Discarded& discarded) {
    while (queue.spare_count > 0) {
        discarded.add(queue.spares[--queue.spare_count]);
        queue.spares[queue.spare_count] = nullptr;
    }
}

void free_spares(FrameQueue& queue) {
    while (queue.spare_count > 0) {
        std::free(queue.spares[--queue.spare_count]);
        queue.spares[queue.spare_count] = nullptr;
    }
}

// A spare buffer of the asked size, or null. A new size makes the spares of the old one useless.
uint8_t* take_spare(FrameQueue& queue, uint64_t bytes, Discarded& discarded) {
    if (bytes != queue.spare_bytes) {
        drop_spares(queue, discarded);
        queue.spare_bytes = bytes;
        return nullptr;
    }
    if (queue.spare_count == 0) {
        return nullptr;
    }
    uint8_t* buffer = queue.spares[--queue.spare_count];
    queue.spares[queue.spare_count] = nullptr;
    return buffer;
}

void give_back(FrameQueue& queue, uint8_t* buffer, uint64_t bytes, Discarded& discarded) {
    if (buffer == nullptr) {
        return;
    }
    if (bytes == queue.spare_bytes && queue.spare_count < FrameQueue::kMaxSpares) {
        queue.spares[queue.spare_count++] = buffer;
    } else {
        discarded.add(buffer);
    }
}

}  // namespace

FrameQueue::~FrameQueue() {
    for (QueuedFrame& frame : frames) {
        std::free(frame.data);
    }
    frames.clear();
    free_spares(*this);
}

QueuedFrame take_frame_buffer(PyVideoCapture& session, int32_t width, int32_t height) {
    TRELVO_STAGE_PROBE(PipelineStage::queue);
    if (width <= 0 || height <= 0) {
        return {};
    }
    const int64_t stride = static_cast<int64_t>(width) * 3;
    if (stride > (std::numeric_limits<int32_t>::max)()) {
        return {};
    }
    // 64-bit product: height x stride can exceed 32 bits for absurd sizes.
    const uint64_t bytes = static_cast<uint64_t>(height) * static_cast<uint64_t>(stride);
    uint8_t* buffer = nullptr;
    {
        Discarded discarded;
        {
            std::lock_guard<std::mutex> guard(session.queue_mutex);
            buffer = take_spare(session.frame_queue, bytes, discarded);
        }
    }
    if (buffer == nullptr) {
        buffer = allocate_picture(bytes);
    }
    if (buffer == nullptr) {
        return {};
    }
    return QueuedFrame{buffer, width, height, static_cast<int32_t>(stride)};
}

void queue_frame(PyVideoCapture& session, QueuedFrame& frame) {
    TRELVO_STAGE_PROBE(PipelineStage::queue);
    if (frame.data == nullptr) {
        return;
    }
    FrameQueue& queue = session.frame_queue;
    {
        Discarded discarded;
        {
            std::lock_guard<std::mutex> guard(session.queue_mutex);
            // Exactly one picture makes room for the new one; the queue never holds more than two.
            if (queue.frames.size() >= 2) {
                give_back(queue, queue.frames.front().data, frame_bytes(queue.frames.front()), discarded);
                queue.frames.pop_front();
            }
            queue.frames.push_back(frame);
            mirror_size(queue);
        }
    }
    frame.data = nullptr;
    queue.ready.notify_one();
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

std::optional<QueuedFrame> wait_frame(PyVideoCapture& session) {
    std::unique_lock<std::mutex> lock(session.queue_mutex);
    FrameQueue& queue = session.frame_queue;
    // Whoever clears running takes queue_mutex before it signals (wake_output, clear_frames), so
    // the test below cannot miss the stop.
    queue.ready.wait(lock, [&] { return !queue.frames.empty() || !session.running.load(); });
    if (!session.running.load() || queue.frames.empty()) {
        return std::nullopt;
    }
    QueuedFrame frame = queue.frames.front();
    queue.frames.pop_front();
    mirror_size(queue);
    return frame;
}

void recycle_frame(PyVideoCapture& session, QueuedFrame& frame) {
    {
        Discarded discarded;
        std::lock_guard<std::mutex> guard(session.queue_mutex);
        give_back(session.frame_queue, frame.data, frame_bytes(frame), discarded);
    }
    frame.data = nullptr;
}

void wake_output(PyVideoCapture& session) {
    { std::lock_guard<std::mutex> guard(session.queue_mutex); }
    session.frame_queue.ready.notify_all();
}

bool frames_waiting(const PyVideoCapture& session) {
    return session.frame_queue.size.load(std::memory_order_acquire) != 0;
}

void clear_frames(PyVideoCapture& session) {
    FrameQueue& queue = session.frame_queue;
    {
        std::lock_guard<std::mutex> guard(session.queue_mutex);
        while (!queue.frames.empty()) {
            std::free(queue.frames.front().data);
            queue.frames.pop_front();
        }
        free_spares(queue);
        queue.spare_bytes = 0;
        mirror_size(queue);
    }
    // A capture worker that gives its camera up clears running and then tears down: this wakes
    // the output worker to see it.
    queue.ready.notify_all();
}
