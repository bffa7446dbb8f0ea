#pragma once
// Object descriptions: GetObjectA copies a BITMAP, LOGPEN, LOGBRUSH or LOGFONTA into buffer and
// returns the bytes written. With a null buffer it returns the size needed. 0 for an invalid
// handle, a region, or a buffer smaller than the description.

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

int GetObjectA(HGDIOBJ object, int size, void* buffer);

}  // namespace corvane::gdi
