// Recorded V4L2 devices replayed through the backend's system-call table: a JSON description of
// device nodes (capabilities, listed formats, sizes and intervals, what streaming delivers and how it
// misbehaves) becomes a driver that answers the backend as the real device did.
#pragma once

#include <string>

#include "v4l2/v4l2_syscalls.h"

namespace mfcompat {

// The variable that names a description file, or a directory whose *.json files are read in name order.
constexpr char kV4l2ReplayVariable[] = "TRELVO_V4L2_REPLAY";

// The replay table when the variable is set (loading the description when the variable's value
// changed since the last call, or after v4l2_replay_reset), or nullptr when it is not set. A
// description that cannot be read gives a machine without devices and one line on stderr.
const V4l2Syscalls* v4l2_replay_from_environment();

}  // namespace mfcompat
