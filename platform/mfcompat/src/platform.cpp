// Process-wide platform calls: startup/shutdown, task memory, GUID text, the platform clock with
// its sleep, tick count and events.
#include "com_object.h"
#include "platform_clock.h"

#include <mfcompat/platform_counters.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

namespace {

std::atomic<uint64_t> g_startups{0};
std::atomic<uint64_t> g_shutdowns{0};
std::atomic<int64_t> g_live_objects{0};
std::atomic<double> g_clock_scale{1.0};
std::atomic<uint64_t> g_sleep_ms{0};
std::atomic<uint64_t> g_sleep_calls{0};

using RealClock = std::chrono::steady_clock;

// The tick count runs at 1/scale of real time. A scale change rebases it, so that platform time
// never jumps or runs backwards; a scale of 0 (waits end at once) counts as a very fast clock.
struct TickClock {
    std::mutex mutex;
    RealClock::time_point real_base = RealClock::now();
    double platform_base_ms = 0;
    double scale = 1.0;

    double now_ms_locked(RealClock::time_point now) const {
        const double real_ms = std::chrono::duration<double, std::milli>(now - real_base).count();
        return platform_base_ms + real_ms / (scale > 1e-6 ? scale : 1e-6);
    }
};

TickClock& tick_clock() {
    static TickClock* clock = new TickClock;  // never destroyed: threads may read it during exit
    return *clock;
}

// An event behind a HANDLE. Waiters hold a counted reference, so CloseHandle during a wait is safe.
struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool manual_reset = true;
    bool signalled = false;
};

struct EventTable {
    std::mutex mutex;
    std::map<HANDLE, std::shared_ptr<Event>> events;
};

EventTable& event_table() {
    static EventTable* table = new EventTable;  // never destroyed, like the tick clock
    return *table;
}

std::shared_ptr<Event> find_event(HANDLE handle) {
    EventTable& table = event_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.events.find(handle);
    return it == table.events.end() ? nullptr : it->second;
}

// SetEvent and ResetEvent: FALSE for an unknown handle. Setting wakes every waiter.
BOOL set_event_state(HANDLE handle, bool signalled) {
    auto event = find_event(handle);
    if (!event) return FALSE;
    std::lock_guard<std::mutex> lock(event->mutex);
    event->signalled = signalled;
    if (signalled) event->changed.notify_all();
    return TRUE;
}

}  // namespace

namespace mfcompat {
void object_created() { g_live_objects.fetch_add(1, std::memory_order_relaxed); }
void object_destroyed() { g_live_objects.fetch_sub(1, std::memory_order_relaxed); }

std::chrono::nanoseconds real_duration(uint64_t milliseconds) {
    const double scaled = double(milliseconds) * g_clock_scale.load();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double, std::milli>(scaled));
}
}  // namespace mfcompat

extern "C" {

MFCOMPAT_API uint64_t mfcompat_startup_count(void) { return g_startups.load(); }
MFCOMPAT_API uint64_t mfcompat_shutdown_count(void) { return g_shutdowns.load(); }
MFCOMPAT_API void mfcompat_reset_startup_counts(void) {
    g_startups.store(0);
    g_shutdowns.store(0);
}
MFCOMPAT_API int64_t mfcompat_live_objects(void) { return g_live_objects.load(); }

MFCOMPAT_API int32_t mfcompat_set_clock_scale(double scale) {
    if (!std::isfinite(scale) || scale < 0) return -1;
    TickClock& clock = tick_clock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    const auto now = RealClock::now();
    clock.platform_base_ms = clock.now_ms_locked(now);
    clock.real_base = now;
    clock.scale = scale;
    g_clock_scale.store(scale);
    return 0;
}
MFCOMPAT_API double mfcompat_clock_scale(void) { return g_clock_scale.load(); }
MFCOMPAT_API uint64_t mfcompat_sleep_requested_ms(void) { return g_sleep_ms.load(); }
MFCOMPAT_API uint64_t mfcompat_sleep_calls(void) { return g_sleep_calls.load(); }

MFCOMPAT_API void Sleep(DWORD milliseconds) {
    g_sleep_calls.fetch_add(1);
    g_sleep_ms.fetch_add(milliseconds);
    double scaled = double(milliseconds) * g_clock_scale.load();
    // Even a scaled-away sleep gives up the processor, as Sleep(0) does.
    if (scaled <= 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(scaled));
}

MFCOMPAT_API ULONGLONG GetTickCount64(void) {
    TickClock& clock = tick_clock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    return ULONGLONG(clock.now_ms_locked(RealClock::now()));
}

MFCOMPAT_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial_state, LPCWSTR name) {
    if (name != nullptr) return nullptr;  // named events are shared between processes: not served
    auto event = std::make_shared<Event>();
    event->manual_reset = manual_reset != FALSE;
    event->signalled = initial_state != FALSE;
    HANDLE handle = event.get();
    EventTable& table = event_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.events.emplace(handle, std::move(event));
    return handle;
}

MFCOMPAT_API BOOL SetEvent(HANDLE handle) { return set_event_state(handle, true); }

MFCOMPAT_API BOOL ResetEvent(HANDLE handle) { return set_event_state(handle, false); }

MFCOMPAT_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    auto event = find_event(handle);
    if (!event) return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(event->mutex);
    auto set = [&] { return event->signalled; };
    if (milliseconds == INFINITE) {
        event->changed.wait(lock, set);
    } else if (!event->changed.wait_for(lock, mfcompat::real_duration(milliseconds), set)) {
        return WAIT_TIMEOUT;
    }
    if (!event->manual_reset) event->signalled = false;
    return WAIT_OBJECT_0;
}

MFCOMPAT_API BOOL CloseHandle(HANDLE handle) {
    EventTable& table = event_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return table.events.erase(handle) ? TRUE : FALSE;
}

MFCOMPAT_API HRESULT MFStartup(ULONG version, DWORD flags) {
    g_startups.fetch_add(1);
    return S_OK;
}

MFCOMPAT_API HRESULT MFShutdown() {
    g_shutdowns.fetch_add(1);
    return S_OK;
}

MFCOMPAT_API void* CoTaskMemAlloc(size_t size) { return std::malloc(size ? size : 1); }
MFCOMPAT_API void CoTaskMemFree(void* block) { std::free(block); }

MFCOMPAT_API HRESULT StringFromCLSID(REFCLSID clsid, LPOLESTR* text) {
    if (!text) return E_POINTER;
    char ascii[39];
    std::snprintf(ascii, sizeof ascii, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", unsigned(clsid.Data1),
                  unsigned(clsid.Data2), unsigned(clsid.Data3), clsid.Data4[0], clsid.Data4[1], clsid.Data4[2],
                  clsid.Data4[3], clsid.Data4[4], clsid.Data4[5], clsid.Data4[6], clsid.Data4[7]);
    auto* out = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (!out) {
        *text = nullptr;
        return E_OUTOFMEMORY;
    }
    for (int i = 0; i < 39; ++i) out[i] = OLECHAR(ascii[i]);
    *text = out;
    return S_OK;
}

}  // extern "C"
