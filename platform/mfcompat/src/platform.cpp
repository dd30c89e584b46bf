// Process-wide platform calls: startup/shutdown, task memory, GUID text and the sleep clock.
#include "com_object.h"

#include <mfcompat/platform_counters.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<uint64_t> g_startups{0};
std::atomic<uint64_t> g_shutdowns{0};
std::atomic<int64_t> g_live_objects{0};
std::atomic<double> g_clock_scale{1.0};
std::atomic<uint64_t> g_sleep_ms{0};
std::atomic<uint64_t> g_sleep_calls{0};

}  // namespace

namespace mfcompat {
void object_created() { g_live_objects.fetch_add(1, std::memory_order_relaxed); }
void object_destroyed() { g_live_objects.fetch_sub(1, std::memory_order_relaxed); }
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
