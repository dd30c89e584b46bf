// Tells a session's workers that it is stopping, so that their long waits end at once.
#pragma once

#include <windows.h>

// A manual-reset event, owned: set while the session stops, reset by the next start.
class StopEvent {
public:
    StopEvent() : handle_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~StopEvent() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    void set() {
        if (handle_ != nullptr) SetEvent(handle_);
    }
    void reset() {
        if (handle_ != nullptr) ResetEvent(handle_);
    }
    // Waits up to `milliseconds`; true when the event was set. Without an event (the system ran
    // out of handles) it sleeps the whole time.
    bool wait(DWORD milliseconds) {
        if (handle_ == nullptr) {
            Sleep(milliseconds);
            return false;
        }
        return WaitForSingleObject(handle_, milliseconds) == WAIT_OBJECT_0;
    }

private:
    HANDLE handle_;
};
