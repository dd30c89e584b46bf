// Turns one camera sample into an RGB24 picture of the session's size and queues it.
#pragma once

#include <mfobjects.h>

class PyVideoCapture;

// Converts and queues one sample of the active camera: a buffer from the queue's spares, the
// converter of the session's subtype writes the picture into it, and the queue takes it (or, when
// the sample is dropped, the buffer goes back). The caller keeps its reference to sample.
void process_sample(PyVideoCapture& session, IMFSample* sample);
