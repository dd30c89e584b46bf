// Feeds arbitrary camera descriptions to the replay driver's loader: the JSON parser, then the
// description's nodes, formats, sizes, intervals, quirks and recorded frames as the device table
// is built from them. The input is the text of one description file; its frames files are named
// relative to it, and one small JPEG recording, frames/solid.mjpg, lies beside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "v4l2/v4l2_testing.h"

namespace {

std::string g_dir;
std::string g_description;

bool write_file(const std::string& path, const void* data, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const bool ok = ::write(fd, data, size) == ssize_t(size);
    ::close(fd);
    return ok;
}

void remove_files() {
    std::remove(g_description.c_str());
    std::remove((g_dir + "/frames/solid.mjpg").c_str());
    ::rmdir((g_dir + "/frames").c_str());
    ::rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/replay-fuzz-XXXXXX";
    if (!::mkdtemp(&pattern[0])) {
        std::perror("mkdtemp");
        std::exit(2);
    }
    g_dir = pattern;
    g_description = g_dir + "/description.json";
    ::mkdir((g_dir + "/frames").c_str(), 0700);
    // Two pieces that start and end like JPEG pictures, and a stray end marker between them.
    static const uint8_t kFrames[] = {0xFF, 0xD8, 0xFF, 0xD9, 0xFF, 0xD9, 0xFF, 0xD8, 0x01, 0x02, 0xFF, 0xD9};
    if (!write_file(g_dir + "/frames/solid.mjpg", kFrames, sizeof kFrames)) {
        std::perror("frames file");
        std::exit(2);
    }
    std::atexit(remove_files);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!write_file(g_description, data, size)) std::abort();
    std::string error;
    if (!mfcompat::v4l2_replay_check(g_description, &error) && error.empty()) std::abort();  // a refusal says why
    return 0;
}
