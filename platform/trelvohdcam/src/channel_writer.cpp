#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
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

std::string channel_path(const std::string& name) { return "/dev/shm" + name; }

std::string channel_name_from_environment() {
    const char* env = std::getenv(TRELVOHDCAM_CHANNEL_ENV);
    // Per user by default: users of one machine never meet on the same name.
    std::string name = (env && *env) ? env : TRELVOHDCAM_CHANNEL_PREFIX + std::to_string(::geteuid());
    if (name[0] != '/') name.insert(0, "/");
    if (valid_channel_name(name)) return name;
    log_once(std::string(TRELVOHDCAM_CHANNEL_ENV) + "=\"" + (env ? env : "") +
             "\" is no channel name (at most 255 characters, no '/' but the first); nothing is published");
    return std::string();
}

std::string untrusted_object(const struct stat& st, bool check_mode) {
    if (!S_ISREG(st.st_mode)) {
        const char* kind = S_ISFIFO(st.st_mode)   ? "a FIFO"
                           : S_ISDIR(st.st_mode)  ? "a folder"
                           : S_ISLNK(st.st_mode)  ? "a symbolic link"
                           : S_ISSOCK(st.st_mode) ? "a socket"
                                                  : "a device";
        return std::string("is ") + kind + ", not a regular file";
    }
    if (st.st_uid != ::geteuid()) return "belongs to user " + std::to_string(st.st_uid) + ", not to this user";
    if (check_mode && (st.st_mode & 07777) != 0600) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return std::string("has mode ") + mode + ", not 0600";
    }
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
                                                   uint64_t owner, const std::string& loopback,
                                                   bool* refused) {
    if (refused) *refused = false;
    if (!valid_channel_name(name)) return nullptr;
    const std::string path = channel_path(name);
    auto refuse = [&](const std::string& what, int err = 0) -> std::unique_ptr<ChannelWriter> {
        log_once("the virtual camera's channel " + path + " " + what, err);
        if (refused) *refused = true;
        return nullptr;
    };
    const std::string remedy = "; nothing is published: remove it (rm " + path + ") or choose another channel with " +
                               TRELVOHDCAM_CHANNEL_ENV;
    // A path that does not fit is left out rather than cut.
    unsigned char device[TRELVOHDCAM_CHANNEL_LOOPBACK_SIZE] = {};
    if (loopback.size() < sizeof device) std::memcpy(device, loopback.data(), loopback.size());
    std::unique_ptr<ChannelWriter> w(new ChannelWriter());
    w->sys_ = current_sys();
    w->frame_size_ = frame_size;
    w->owner_ = owner;
    w->name_ = name;
    const Sys& sys = w->sys_;

    // The pictures are this user's alone: created exclusively, and an object already there is
    // used only if it is this user's private regular file. The second open does not block, and
    // does not follow a link, whatever was planted there.
    bool created = true;
    int fd = sys.shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = sys.shm_open(name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    }
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP) return refuse("is a symbolic link" + remedy);
        if (err == EACCES || err == EPERM) return refuse("cannot be opened by this user" + remedy, err);
        // shm_open reports a folder as EINVAL; the name itself was checked above.
        if (err == ENXIO || err == EISDIR || err == EINVAL) return refuse("is not a regular file" + remedy);
        log_once("cannot create the virtual camera's channel " + path + "; nothing is published", err);
        return nullptr;
    }
    w->fd_ = Fd(fd, sys.close);
    // Removes what this call created when it gives up, so that no unusable object stays behind.
    auto give_up = [&](const std::string& what, int err = 0) {
        w->fd_.reset();
        if (created) sys.shm_unlink(name.c_str());
        return refuse(what, err);
    };

    struct stat st {};
    if (sys.fstat(fd, &st) != 0) return give_up("cannot be examined", errno);
    if (created) {
        // The umask may have taken bits away; 0600 is what a later camera checks for.
        if ((st.st_mode & 07777) != 0600 && sys.fchmod(fd, 0600) != 0)
            return give_up("cannot be made private (mode 0600)", errno);
    } else {
        const std::string why = untrusted_object(st, true);
        if (!why.empty()) return refuse(why + remedy);
    }

    // Reserved rather than sized: a sparse object faults (SIGBUS) at the first write of a page
    // the file system has no room for. Never shrunk: a reader may still map an earlier camera's
    // larger size.
    const std::size_t needed = page_round(TRELVOHDCAM_CHANNEL_HEADER_SIZE + frame_size);
    int err;
    do err = sys.posix_fallocate(fd, 0, static_cast<off_t>(needed));
    while (err == EINTR);
    if (err != 0) {
        const std::string room = "has no room for " + std::to_string(needed / 1024) +
                                 " KiB in /dev/shm; nothing is published: free space there, give the system or "
                                 "container more shared memory (docker --shm-size), or choose a smaller picture";
        return give_up(room, err);
    }
    off_t size = 0;
    if (!object_size(sys, fd, &size)) return give_up("cannot be examined", errno);
    if (size < 0 || static_cast<std::size_t>(size) < needed) return give_up("shrank while it was set up" + remedy);
    w->map_ = map_shared(sys, fd, needed, PROT_READ | PROT_WRITE);
    if (!w->map_) {
        log_once("cannot map the virtual camera's channel " + path + "; nothing is published", errno);
        return nullptr;
    }

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

bool ChannelWriter::intact() {
    if (!map_) return false;
    // Only this user can shrink the object, but a shrunk one must not kill the process: touching
    // a page past its end would fault. A channel that shrank is over, like a closed one.
    off_t size = 0;
    if (object_size(sys_, fd_.get(), &size) && size >= 0 && static_cast<std::size_t>(size) >= map_.size())
        return true;
    log_once("the virtual camera's channel " + channel_path(name_) +
             " shrank under the camera; no more pictures are published there");
    detach();
    return false;
}

bool ChannelWriter::write(const void* picture) {
    if (!intact()) return false;
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
    if (intact()) {
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
