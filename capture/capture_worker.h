// The per-camera capture thread: reads samples, answers start's handshake, reconnects lost cameras.
#pragma once

class PyVideoCapture;

void capture_loop(PyVideoCapture& session, int device_index);

// Releases the camera, waits 5000 ms and opens it again; true when it is usable. A session stop
// ends the wait early; the camera then stays closed and the result is false.
bool reconnect_device(PyVideoCapture& session, int device_index);
