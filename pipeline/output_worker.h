// The thread that takes pictures from the queue and feeds the virtual camera.
#pragma once

#include "pipeline/frame_queue.h"

class PyVideoCapture;

// Runs until the session's running flag is clear; returns 0.
int output_loop(PyVideoCapture& session);

// RGB24 source to a malloc'ed YUY2 result (stride width x 2). 0 on success, -1 on failure, when
// nothing is left allocated.
int convert_to_yuy2(const QueuedFrame& source, QueuedFrame& result);
