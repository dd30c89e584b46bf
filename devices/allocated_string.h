#pragma once

#include "devices/camera_records.h"

#include <mfobjects.h>

// A platform-allocated string attribute, copied out and freed; empty when it cannot be read.
WideString read_allocated_string(IMFAttributes* attributes, REFGUID key);
