// The reading side of the shared-memory channel.
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/mman.h>
#include <thread>

#include "channel.h"

using namespace trelvohdcam;

struct trelvohdcam_reader {
    std::string name;
    Sys sys{};
    Fd fd;
    Mapping map;
    unsigned long long identity = 0;
    bool attached_before = false;  // an identity was seen before
    bool replaced = false;         // attached to a different object since the last picture
    // An object that shrank under the reader is closed for good; only a new one is attached.
    bool shrunk = false;
    unsigned long long shrunk_identity = 0;
};

namespace {

enum class Attempt { Picture, Nothing, Torn, TooSmall };

void detach(trelvohdcam_reader* r) {
    r->map.reset();
    r->fd.reset();
}

// Opens the named object if it is a regular file of this user, large enough for a header. Not
// following a link and not blocking: a FIFO planted under the name must not hold the reader.
bool open_object(trelvohdcam_reader* r, Fd& fd, off_t& size, unsigned long long& identity) {
    int raw = r->sys.shm_open(r->name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (raw < 0) return false;
    fd = Fd(raw, r->sys.close);
    struct stat st {};
    if (r->sys.fstat(raw, &st) != 0 || !untrusted_object(st, false).empty()) return false;
    size = st.st_size;
    identity = (static_cast<unsigned long long>(st.st_dev) << 40) ^ static_cast<unsigned long long>(st.st_ino);
    return size >= static_cast<off_t>(TRELVOHDCAM_CHANNEL_HEADER_SIZE);
}

// Whether the mapped object still covers the mapping. One that shrank would fault at the next
// load from a page past its end; it is detached and reads as closed.
bool intact(trelvohdcam_reader* r) {
    if (!r->map) return false;
    off_t size = 0;
    if (object_size(r->sys, r->fd.get(), &size) && size >= 0 && static_cast<std::size_t>(size) >= r->map.size())
        return true;
    r->shrunk = true;
    r->shrunk_identity = r->identity;
    detach(r);
    return false;
}

bool map_object(trelvohdcam_reader* r, std::size_t size) {
    r->map = map_shared(r->sys, r->fd.get(), size, PROT_READ);
    return static_cast<bool>(r->map);
}

// Attaches to the named object, or switches to it when the name now refers
// to another object than the one mapped (it was removed and made anew).
void refresh(trelvohdcam_reader* r) {
    Fd fd;
    off_t size = 0;
    unsigned long long identity = 0;
    if (!open_object(r, fd, size, identity)) return;
    if (r->map && identity == r->identity) return;
    if (r->shrunk && identity == r->shrunk_identity) return;
    r->shrunk = false;
    detach(r);
    r->fd = std::move(fd);
    if (!map_object(r, static_cast<std::size_t>(size))) {
        detach(r);
        return;
    }
    if (r->attached_before && identity != r->identity) r->replaced = true;
    r->identity = identity;
    r->attached_before = true;
}

// Maps the whole object again when the picture has outgrown the mapping.
bool grow_mapping(trelvohdcam_reader* r, std::size_t needed) {
    off_t size = 0;
    if (!object_size(r->sys, r->fd.get(), &size)) return false;
    if (size < 0 || static_cast<std::size_t>(size) < needed) return false;
    r->map.reset();
    if (map_object(r, static_cast<std::size_t>(size)) && intact(r)) return true;
    detach(r);
    return false;
}

Attempt try_read(trelvohdcam_reader* r, uint64_t after, void* buffer, size_t capacity,
                 trelvohdcam_picture_info* info) {
    if (!intact(r)) return Attempt::Nothing;
    const auto* h = reinterpret_cast<const trelvohdcam_channel_header*>(r->map.data());
    const uint64_t s1 = __atomic_load_n(&h->sequence, __ATOMIC_ACQUIRE);
    if (s1 & 1u) return Attempt::Torn;
    if (load_acquire(&h->magic) != TRELVOHDCAM_CHANNEL_MAGIC ||
        load_acquire(&h->version) != TRELVOHDCAM_CHANNEL_VERSION)
        return Attempt::Nothing;
    trelvohdcam_picture_info got{};
    const uint32_t header_size = load_acquire(&h->header_size);
    got.width = load_acquire(&h->width);
    got.height = load_acquire(&h->height);
    got.type = load_acquire(&h->type);
    got.fps = load_float(&h->fps);
    got.frame_size = load_acquire(&h->frame_size);
    got.frame_number = load_acquire(&h->frame_number);
    got.timestamp_ns = load_acquire(&h->timestamp_ns);
    got.generation = load_acquire(&h->generation);
    got.sequence = s1;

    // Every load above is an acquire, so this one cannot see an older value
    // than a newer picture's odd sequence.
    auto unchanged = [&] { return load_relaxed(&h->sequence) == s1; };
    if (got.frame_number == 0 || (!r->replaced && s1 <= after))
        return unchanged() ? Attempt::Nothing : Attempt::Torn;
    if (header_size < sizeof(trelvohdcam_channel_header) || got.frame_size > kReaderMaxFrameBytes)
        return unchanged() ? Attempt::Nothing : Attempt::Torn;
    const std::size_t needed = header_size + static_cast<std::size_t>(got.frame_size);
    if (needed > r->map.size()) {
        if (!unchanged()) return Attempt::Torn;
        // The writer grows the object before it publishes the larger size.
        return grow_mapping(r, needed) ? Attempt::Torn : Attempt::Nothing;
    }
    if (got.frame_size > capacity || !buffer) {
        if (!unchanged()) return Attempt::Torn;
        if (info) *info = got;
        return Attempt::TooSmall;
    }
    copy_from_shared(static_cast<unsigned char*>(buffer), r->map.data() + header_size,
                     static_cast<std::size_t>(got.frame_size));
    if (!unchanged()) return Attempt::Torn;
    got.state = __atomic_load_n(&h->state, __ATOMIC_ACQUIRE);
    if (info) *info = got;
    return Attempt::Picture;
}

}  // namespace

extern "C" {

TRELVOHDCAM_API trelvohdcam_reader* trelvohdcam_reader_open(const char* name) {
    std::string n = name ? std::string(name) : channel_name_from_environment();
    if (!n.empty() && n[0] != '/') n.insert(0, "/");
    if (!valid_channel_name(n)) return nullptr;
    auto* r = new (std::nothrow) trelvohdcam_reader();
    if (!r) return nullptr;
    r->name = std::move(n);
    r->sys = current_sys();
    return r;
}

TRELVOHDCAM_API int trelvohdcam_reader_wait(trelvohdcam_reader* r, uint64_t after, int timeout_ms,
                                            void* buffer, size_t capacity,
                                            trelvohdcam_picture_info* info) {
    if (!r || timeout_ms < 0) return TRELVOHDCAM_READ_ERROR;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (unsigned torn = 0;;) {
        // A closed or missing channel may come back as a new object.
        if (!r->map || trelvohdcam_reader_state(r) != static_cast<int>(TRELVOHDCAM_STATE_LIVE))
            refresh(r);
        Attempt a = r->map ? try_read(r, after, buffer, capacity, info) : Attempt::Nothing;
        if (a == Attempt::Picture) {
            r->replaced = false;
            return TRELVOHDCAM_READ_OK;
        }
        if (a == Attempt::TooSmall) return TRELVOHDCAM_READ_TOO_SMALL;
        const bool late = std::chrono::steady_clock::now() >= deadline;
        if (a == Attempt::Torn) {
            // A writer is busy: try again at once, a little longer than the deadline
            // if need be, so that a steady stream is not reported as a time-out.
            if (late && ++torn > kReaderTornRetries) return TRELVOHDCAM_READ_TIMEOUT;
            std::this_thread::yield();
            continue;
        }
        if (late) return TRELVOHDCAM_READ_TIMEOUT;
        std::this_thread::sleep_for(kReaderPoll);
    }
}

TRELVOHDCAM_API int trelvohdcam_reader_state(trelvohdcam_reader* r) {
    if (!r) return -1;
    if (!r->map || !intact(r))
        return static_cast<int>(r->shrunk ? TRELVOHDCAM_STATE_CLOSED : TRELVOHDCAM_STATE_NEW);
    const auto* h = reinterpret_cast<const trelvohdcam_channel_header*>(r->map.data());
    if (__atomic_load_n(&h->magic, __ATOMIC_ACQUIRE) != TRELVOHDCAM_CHANNEL_MAGIC)
        return static_cast<int>(TRELVOHDCAM_STATE_NEW);
    return static_cast<int>(__atomic_load_n(&h->state, __ATOMIC_ACQUIRE));
}

TRELVOHDCAM_API void trelvohdcam_reader_close(trelvohdcam_reader* r) { delete r; }

}  // extern "C"
