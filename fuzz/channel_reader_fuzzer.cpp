// The shared-memory channel against whatever bytes a process of the user left in it: the input
// is the object's whole content (a damaged header, another version, sizes that
// disagree with the object). The C reader reads it, then a camera takes it over, writes a picture
// and closes it, and the reader reads again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "trelvohdcam.h"
#include "trelvohdcam_channel.h"

namespace {

// Defined before its remover, so that it is destroyed after it.
const std::string g_channel = "/trelvohdcam_fuzz_" + std::to_string(::getpid());
const std::string& channel() { return g_channel; }

struct RemoveAtExit {
    ~RemoveAtExit() { ::shm_unlink(g_channel.c_str()); }
} remove_at_exit;

void read_once(trelvohdcam_reader* r, std::vector<unsigned char>& buffer) {
    trelvohdcam_picture_info info{};
    trelvohdcam_reader_wait(r, 0, 0, buffer.data(), buffer.size(), &info);
    trelvohdcam_reader_state(r);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv(TRELVOHDCAM_CHANNEL_ENV, channel().c_str(), 1);
    ::setenv("TRELVOHDCAM_LOOPBACK", "off", 1);
    ::setenv("TRELVO_PLATFORM_LOG", "off", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    // An odd sequence (a writer mid-picture) only makes reader and writer wait their give-up
    // times, which the channel tests cover; left even, each input takes microseconds.
    std::vector<uint8_t> bytes(input, input + size);
    if (size > offsetof(trelvohdcam_channel_header, sequence))
        bytes[offsetof(trelvohdcam_channel_header, sequence)] &= 0xfe;
    const uint8_t* data = bytes.data();
    ::shm_unlink(channel().c_str());
    const int fd = ::shm_open(channel().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return 0;
    bool written = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (size_t done = 0; written && done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        written = n > 0;
        done += written ? static_cast<size_t>(n) : 0;
    }
    ::close(fd);
    if (!written) return 0;

    std::vector<unsigned char> buffer(4096);
    trelvohdcam_reader* r = trelvohdcam_reader_open(nullptr);
    read_once(r, buffer);
    void* cam = scCreateCamera(3, 2, 30.0f, TRELVOHDCAM_TYPE_RGB24);
    const unsigned char picture[3 * 2 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    scSendFrame(cam, picture);
    read_once(r, buffer);
    scDeleteCamera(cam);
    read_once(r, buffer);
    trelvohdcam_reader_close(r);
    return 0;
}
