#include "capture/session_registry.h"

#include "capture/video_capture.h"

#include <cstdlib>
#include <mutex>
#include <set>

namespace {

struct Registry {
    std::mutex mutex;
    std::set<PyVideoCapture*> sessions;
};

// Never destroyed: the exit handler and late destructors may still use it during static destruction.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

void stop_all_sessions() {
    auto& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (PyVideoCapture* session : reg.sessions) session->stop_session();
}

}  // namespace

void register_session(PyVideoCapture* session) {
    auto& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.sessions.insert(session);
}

void unregister_session(PyVideoCapture* session) {
    auto& reg = registry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.sessions.erase(session);
}

void stop_sessions_at_exit() {
    // Registered after the platform's lazily built statics, so it runs before their destruction.
    static const bool installed = [] {
        std::atexit(stop_all_sessions);
        return true;
    }();
    (void)installed;
}
