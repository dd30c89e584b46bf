// Internal: a v4l2loopback output device that shows the camera to
// applications that only know real cameras.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "sys.h"

namespace trelvohdcam {

class LoopbackOutput {
public:
    // The first loopback device that takes the format; nullptr when there is
    // none (the normal case on most machines) or the type has no format.
    static std::unique_ptr<LoopbackOutput> open(int width, int height, int type, float fps);
    ~LoopbackOutput();
    LoopbackOutput(const LoopbackOutput&) = delete;
    LoopbackOutput& operator=(const LoopbackOutput&) = delete;

    // Writes one picture. A device that goes away is given up (with one line on stderr).
    void write(const void* picture);
    const std::string& path() const { return path_; }

private:
    LoopbackOutput() = default;
    void stop();  // ends the stream and closes the device
    Sys sys_{};
    Fd fd_;
    std::size_t frame_size_ = 0;
    std::string path_;
};

}  // namespace trelvohdcam
