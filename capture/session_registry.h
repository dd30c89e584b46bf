// Sessions alive in the process, so that the process can end cleanly with one still running.
#pragma once

class PyVideoCapture;

// A Python program may end while a session runs and is never freed (a module-level object the
// interpreter does not clear, or one kept in a reference cycle). Its worker threads would then
// outlive the libraries they use. At exit the registry stops every registered session first.
void register_session(PyVideoCapture* session);
void unregister_session(PyVideoCapture* session);
// Installs the exit handler once; call after the platform's own statics exist (from start, once
// the cameras are open).
void stop_sessions_at_exit();
