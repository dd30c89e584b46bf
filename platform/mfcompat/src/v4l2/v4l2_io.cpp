// What an errno from the driver means to the Media Foundation layer.
#include <cerrno>

#include "v4l2/v4l2_internal.h"

namespace mfcompat {
namespace v4l2 {

bool is_device_lost_errno(int err) { return err == ENODEV || err == ENXIO || err == EIO || err == ENOENT; }

HRESULT hresult_from_errno(int err, HRESULT fallback) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return MFCOMPAT_E_DEVICE_NOT_CONNECTED;
        case EACCES:
        case EPERM:
            return E_ACCESSDENIED;
        case EBUSY:
            return MFCOMPAT_E_BUSY;
        case ENOMEM:
            return E_OUTOFMEMORY;
        default:
            return fallback;
    }
}

}  // namespace v4l2
}  // namespace mfcompat
