// Internal: what the three calls report to the recording, and what the recording asks of the
// registry of live cameras.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trelvohdcam {

// A handle is the camera's id; ids are never reused.
inline void* to_handle(uintptr_t id) { return reinterpret_cast<void*>(id); }
inline uintptr_t to_id(void* handle) { return reinterpret_cast<uintptr_t>(handle); }

// The arguments of one scCreateCamera call and its result (NULL: it failed).
void record_create(int width, int height, float fps, int type, void* handle);
// One picture taken for `handle`; `size` bytes of it are kept while keeping frames.
void record_sent(void* handle, const void* picture, std::size_t size);
void record_send_failure();
void record_deleted();
void record_delete_failure();

// Copies up to `capacity` live handles, in creation order, into `out` (may be NULL) and returns
// how many are live.
std::size_t live_handles(void** out, std::size_t capacity);

}  // namespace trelvohdcam
