// Factories for the plain media objects, for the rest of the library.
#pragma once

#include "camera_device.h"
#include "com_object.h"

namespace mfcompat {

// A buffer that takes over `bytes` as its contents (current length = size).
HRESULT create_buffer_with(std::vector<uint8_t>&& bytes, IMFMediaBuffer** buffer);
// A sample holding one buffer with `bytes` and the given time stamp; the bytes go back to `pool`,
// if given, when the buffer is released.
HRESULT create_sample_with(std::vector<uint8_t>&& bytes, LONGLONG time, IMFSample** sample,
                           std::shared_ptr<FramePool> pool = nullptr);
// A media type carrying the major type and exactly the attributes the native format has.
HRESULT create_media_type_for(const NativeFormat& format, IMFMediaType** media_type);

}  // namespace mfcompat
