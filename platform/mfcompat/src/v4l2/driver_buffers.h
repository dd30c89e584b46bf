// The mmap buffers of a simulated V4L2 capture node, handled as a driver handles them: requested by
// one descriptor, queried, mapped at offset index * kOffsetStride, queued, filled in order, dequeued,
// and kept while still mapped after their owner or device is gone. Header-only, so that the
// replay driver and the tests' scripted driver keep theirs the same way.
#pragma once

#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform_owners.h"

namespace mfcompat {
namespace v4l2 {

struct DriverBuffer {
    // Anonymous memory: zero pages until written, so a large sizeimage costs only what a frame
    // fills, as a driver's own buffers would.
    trelvo_platform::UniqueMapping memory;
    bool mapped = false;
    bool queued = false;  // the driver may fill it
    bool done = false;    // filled, waiting to be dequeued
    uint32_t bytesused = 0;
    uint32_t flags = 0;
    uint32_t sequence = 0;
    timeval timestamp{};
};

class DriverBuffers {
public:
    static constexpr uint32_t kOffsetStride = 0x1000000;

    int owner() const { return owner_; }  // the descriptor that requested them, or -1
    size_t count() const { return buffers_.size(); }
    bool empty() const { return buffers_.empty(); }
    bool has_done() const { return !done_.empty(); }
    bool any_mapped() const {
        for (const auto& b : buffers_)
            if (b->mapped) return true;
        return false;
    }

    // VIDIOC_REQBUFS, once the caller has checked the request and the node: `count` buffers of
    // `length` bytes for fd, or none when count is 0. Returns 0 or an errno.
    int request(int fd, uint32_t count, uint32_t length) {
        if ((owner_ >= 0 && owner_ != fd) || any_mapped()) return EBUSY;
        buffers_.clear();
        done_.clear();
        owner_ = -1;
        for (uint32_t i = 0; i < count; ++i) {
            if (length == 0) return EINVAL;
            void* address =
                ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (address == MAP_FAILED) {
                buffers_.clear();
                return ENOMEM;
            }
            buffers_.push_back(std::make_unique<DriverBuffer>());
            buffers_.back()->memory = trelvo_platform::UniqueMapping(address, length, ::munmap);
        }
        owner_ = count ? fd : -1;
        return 0;
    }

    // VIDIOC_QUERYBUF: length, offset and state of b->index. Returns 0 or an errno.
    int query(int fd, v4l2_buffer* b) const {
        if (owner_ != fd || b->index >= buffers_.size()) return EINVAL;
        const DriverBuffer& buf = *buffers_[b->index];
        b->length = uint32_t(buf.memory.size());
        b->m.offset = b->index * kOffsetStride;
        b->flags = (buf.mapped ? V4L2_BUF_FLAG_MAPPED : 0) | (buf.queued ? V4L2_BUF_FLAG_QUEUED : 0) |
                   (buf.done ? V4L2_BUF_FLAG_DONE : 0);
        return 0;
    }

    // VIDIOC_QBUF: b->index goes back to the driver. Returns 0 or an errno.
    int queue(int fd, const v4l2_buffer* b) {
        if (owner_ != fd || b->index >= buffers_.size()) return EINVAL;
        DriverBuffer& buf = *buffers_[b->index];
        if (buf.queued) return EINVAL;
        buf.queued = true;
        buf.done = false;
        return 0;
    }

    // VIDIOC_DQBUF of the oldest filled buffer, once the caller has checked the owner and that the
    // node streams. Returns 0, or EAGAIN when none is filled.
    int dequeue(v4l2_buffer* b) {
        if (done_.empty()) return EAGAIN;
        const uint32_t index = done_.front();
        done_.pop_front();
        DriverBuffer& buf = *buffers_[index];
        buf.queued = false;
        buf.done = false;
        b->index = index;
        b->bytesused = buf.bytesused;
        b->flags = buf.flags | V4L2_BUF_FLAG_MAPPED;
        b->field = V4L2_FIELD_NONE;
        b->timestamp = buf.timestamp;
        b->sequence = buf.sequence;
        b->length = uint32_t(buf.memory.size());
        b->m.offset = index * kOffsetStride;
        return 0;
    }

    // The next buffer the driver may fill, or nullptr when the reader holds them all; complete()
    // hands it to the reader once filled.
    DriverBuffer* next_free(uint32_t* index) {
        for (uint32_t i = 0; i < buffers_.size(); ++i) {
            if (buffers_[i]->queued && !buffers_[i]->done) {
                *index = i;
                return buffers_[i].get();
            }
        }
        return nullptr;
    }
    void complete(uint32_t index) {
        buffers_[index]->done = true;
        done_.push_back(index);
    }

    // VIDIOC_STREAMOFF: every buffer back with the reader, unfilled.
    void stop() {
        done_.clear();
        for (auto& b : buffers_) b->queued = b->done = false;
    }

    // The buffer an mmap by fd of `length` bytes at `offset` names, or nullptr when it names none
    // (or one already mapped). The caller marks it mapped.
    DriverBuffer* mappable(int fd, size_t length, off_t offset) {
        if (owner_ != fd || offset < 0 || size_t(offset) % kOffsetStride != 0) return nullptr;
        const size_t index = size_t(offset) / kOffsetStride;
        if (index >= buffers_.size() || length != buffers_[index]->memory.size() || buffers_[index]->mapped)
            return nullptr;
        return buffers_[index].get();
    }

    // munmap: true when addr and length are a mapping of these buffers, now undone.
    bool unmap(void* addr, size_t length) {
        for (auto& b : buffers_) {
            if (b->mapped && b->memory.data() == addr && b->memory.size() == length) {
                b->mapped = false;
                return true;
            }
        }
        for (auto it = orphans_.begin(); it != orphans_.end(); ++it) {
            if ((*it)->memory.data() == addr && (*it)->memory.size() == length) {
                orphans_.erase(it);
                return true;
            }
        }
        return false;
    }

    // The owner closed or the device went: the buffers go, those still mapped once unmapped.
    void release() {
        for (auto& b : buffers_)
            if (b->mapped) orphans_.push_back(std::move(b));
        buffers_.clear();
        done_.clear();
        owner_ = -1;
    }

private:
    std::vector<std::unique_ptr<DriverBuffer>> buffers_;
    std::deque<uint32_t> done_;
    std::vector<std::unique_ptr<DriverBuffer>> orphans_;
    int owner_ = -1;
};

}  // namespace v4l2
}  // namespace mfcompat
