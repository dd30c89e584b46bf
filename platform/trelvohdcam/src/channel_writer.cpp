#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "channel.h"

namespace trelvohdcam {
namespace {

static_assert(sizeof(trelvohdcam_channel_header) == TRELVOHDCAM_CHANNEL_HEADER_SIZE,
              "the header layout is part of the channel's published format");
static_assert(offsetof(trelvohdcam_channel_header, sequence) == 24, "layout");
static_assert(offsetof(trelvohdcam_channel_header, frame_size) == 48, "layout");
static_assert(offsetof(trelvohdcam_channel_header, owner) == 72, "layout");
static_assert(offsetof(trelvohdcam_channel_header, loopback) == 80, "layout");
static_assert(sizeof(trelvohdcam_channel_header::loopback) == TRELVOHDCAM_CHANNEL_LOOPBACK_SIZE, "layout");

std::size_t page_round(std::size_t n) {
    long page = ::sysconf(_SC_PAGESIZE);
    std::size_t p = page > 0 ? static_cast<std::size_t>(page) : 4096;
    return (n + p - 1) / p * p;
}

// Takes the write side of the seqlock and returns the odd value now held, or
// after kWriterGiveUp the odd value another writer left there.
uint64_t lock_sequence(trelvohdcam_channel_header* h) {
    auto give_up = std::chrono::steady_clock::now() + kWriterGiveUp;
    for (unsigned spins = 0;; ++spins) {
        uint64_t s = load_relaxed(&h->sequence);
        if ((s & 1u) == 0) {
            if (__atomic_compare_exchange_n(&h->sequence, &s, s + 1, false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED))
                return s + 1;
            continue;
        }
        if (spins > kWriterSpinsBeforeClock && std::chrono::steady_clock::now() > give_up) return s;
        std::this_thread::yield();
    }
}

void unlock_sequence(trelvohdcam_channel_header* h, uint64_t held) {
    __atomic_store_n(&h->sequence, held + 1, __ATOMIC_RELEASE);
}

}  // namespace

bool valid_channel_name(const std::string& name) {
    if (name.size() < 2 || name.size() > NAME_MAX || name[0] != '/') return false;
    return name.find('/', 1) == std::string::npos;
}

std::string channel_name_from_environment() {
    const char* env = std::getenv(TRELVOHDCAM_CHANNEL_ENV);
    std::string name = (env && *env) ? env : TRELVOHDCAM_CHANNEL_DEFAULT;
    if (name[0] != '/') name.insert(0, "/");
    if (valid_channel_name(name)) return name;
    log_once(std::string(TRELVOHDCAM_CHANNEL_ENV) + "=\"" + (env ? env : "") +
             "\" is no channel name (at most 255 characters, no '/' but the first); nothing is published");
    return std::string();
}

uint64_t monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void copy_to_shared(unsigned char* shared, const unsigned char* src, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, src + i, 8);
        __atomic_store_n(reinterpret_cast<uint64_t*>(shared + i), w, __ATOMIC_RELEASE);
    }
    for (; i < n; ++i) __atomic_store_n(shared + i, src[i], __ATOMIC_RELEASE);
}

void copy_from_shared(unsigned char* dst, const unsigned char* shared, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w = __atomic_load_n(reinterpret_cast<const uint64_t*>(shared + i), __ATOMIC_ACQUIRE);
        std::memcpy(dst + i, &w, 8);
    }
    for (; i < n; ++i) dst[i] = __atomic_load_n(shared + i, __ATOMIC_ACQUIRE);
}

std::unique_ptr<ChannelWriter> ChannelWriter::open(const std::string& name, int width, int height,
                                                   int type, float fps, std::size_t frame_size,
                                                   uint64_t owner, const std::string& loopback) {
    if (!valid_channel_name(name)) return nullptr;
    // A path that does not fit is left out rather than cut.
    unsigned char device[TRELVOHDCAM_CHANNEL_LOOPBACK_SIZE] = {};
    if (loopback.size() < sizeof device) std::memcpy(device, loopback.data(), loopback.size());
    std::unique_ptr<ChannelWriter> w(new ChannelWriter());
    w->sys_ = current_sys();
    w->frame_size_ = frame_size;
    w->owner_ = owner;

    // Readable by every user: the channel is how other programs see the camera.
    int fd = w->sys_.shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    w->fd_ = Fd(fd, w->sys_.close);

    off_t current = 0;
    if (!object_size(w->sys_, fd, &current) || current < 0) return nullptr;
    const std::size_t needed = page_round(TRELVOHDCAM_CHANNEL_HEADER_SIZE + frame_size);
    // Never shrink: a reader may still map the larger size of an earlier camera.
    if (static_cast<std::size_t>(current) < needed &&
        w->sys_.ftruncate(fd, static_cast<off_t>(needed)) != 0)
        return nullptr;
    w->map_ = map_shared(w->sys_, fd, needed, PROT_READ | PROT_WRITE);
    if (!w->map_) return nullptr;

    trelvohdcam_channel_header* h = w->header();
    // Owner first, so that a camera of another process still writing here
    // stops at its next picture.
    __atomic_store_n(&h->owner, owner, __ATOMIC_SEQ_CST);
    uint64_t held = lock_sequence(h);
    uint64_t generation = load_relaxed(&h->generation);
    if (load_relaxed(&h->magic) != TRELVOHDCAM_CHANNEL_MAGIC ||
        load_relaxed(&h->version) != TRELVOHDCAM_CHANNEL_VERSION)
        generation = 0;
    store_release(&h->header_size, TRELVOHDCAM_CHANNEL_HEADER_SIZE);
    store_release(&h->generation, generation + 1);
    store_release(&h->width, static_cast<int32_t>(width));
    store_release(&h->height, static_cast<int32_t>(height));
    store_release(&h->type, static_cast<int32_t>(type));
    store_float(&h->fps, fps);
    store_release(&h->frame_size, static_cast<uint64_t>(frame_size));
    store_release(&h->frame_number, uint64_t{0});
    store_release(&h->timestamp_ns, monotonic_ns());
    copy_to_shared(reinterpret_cast<unsigned char*>(h->loopback), device, sizeof device);
    store_release(&h->version, TRELVOHDCAM_CHANNEL_VERSION);
    store_release(&h->magic, TRELVOHDCAM_CHANNEL_MAGIC);
    __atomic_store_n(&h->state, TRELVOHDCAM_STATE_LIVE, __ATOMIC_RELEASE);
    unlock_sequence(h, held);
    return w;
}

ChannelWriter::~ChannelWriter() { detach(); }

bool ChannelWriter::write(const void* picture) {
    if (!map_) return false;
    trelvohdcam_channel_header* h = header();
    if (__atomic_load_n(&h->owner, __ATOMIC_ACQUIRE) != owner_) {
        detach();
        return false;
    }
    uint64_t held = lock_sequence(h);
    if (load_relaxed(&h->owner) != owner_) {
        unlock_sequence(h, held);
        detach();
        return false;
    }
    copy_to_shared(map_.data() + TRELVOHDCAM_CHANNEL_HEADER_SIZE,
                   static_cast<const unsigned char*>(picture), frame_size_);
    store_release(&h->frame_number, ++frames_);
    store_release(&h->timestamp_ns, monotonic_ns());
    unlock_sequence(h, held);
    return true;
}

void ChannelWriter::close() {
    if (map_) {
        trelvohdcam_channel_header* h = header();
        if (__atomic_load_n(&h->owner, __ATOMIC_ACQUIRE) == owner_)
            __atomic_store_n(&h->state, TRELVOHDCAM_STATE_CLOSED, __ATOMIC_RELEASE);
    }
    detach();
}

void ChannelWriter::detach() {
    map_.reset();
    fd_.reset();
}

}  // namespace trelvohdcam

extern "C" TRELVOHDCAM_API int trelvohdcam_channel_name(char* out, size_t capacity) {
    std::string name = trelvohdcam::channel_name_from_environment();
    if (name.empty() || !out || capacity < name.size() + 1) return -1;
    std::memcpy(out, name.c_str(), name.size() + 1);
    return static_cast<int>(name.size());
}
