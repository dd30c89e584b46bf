// Test hooks of the V4L2 backend: a scripted driver in place of the kernel, a replayed machine
// loaded on demand, and the enumeration on its own. Exported for the tests; not part of the
// library's public headers.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "camera_device.h"
#include "v4l2/v4l2_syscalls.h"

namespace mfcompat {

// The table of the running kernel.
MFCOMPAT_API const V4l2Syscalls* v4l2_real_syscalls();

// Installs a table for devices enumerated from now on; nullptr restores the real one (or the replay
// that TRELVO_V4L2_REPLAY names). Devices and streams keep a copy of the table they were created
// with; the functions it names must outlive them.
MFCOMPAT_API void v4l2_set_syscalls(const V4l2Syscalls* table);

// The V4L2 capture devices, as v4l2_devices() gives them to the COM layer.
MFCOMPAT_API std::vector<std::shared_ptr<CameraDevice>> v4l2_enumerate_devices();

// Loads a description as a fresh machine and returns the replay table; devices of an earlier machine
// are gone (their open descriptors fail with ENODEV). nullptr and *error when it cannot be read.
MFCOMPAT_API const V4l2Syscalls* v4l2_replay_load(const std::string& path, std::string* error);

// The next lookup of TRELVO_V4L2_REPLAY loads the description again, as if freshly plugged in.
MFCOMPAT_API void v4l2_replay_reset();

// Reads a description into its device table, which is then dropped: the loader alone, for
// fuzzing. False and *error when it cannot be read.
MFCOMPAT_API bool v4l2_replay_check(const std::string& path, std::string* error);

// How many times the replay driver has looked at one node's stream clock since loading, the work
// that grows with the number of nodes described.
MFCOMPAT_API uint64_t v4l2_replay_node_ticks();

}  // namespace mfcompat
