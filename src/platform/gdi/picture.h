#pragma once
// Pictures from files: BMP, PNG and JPEG become colour bitmaps (alpha dropped) that report a
// pixel-bits pointer like device-independent bitmaps; ICO files become icons with their alpha.

#include <QString>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

struct Picture {
    HBITMAP bitmap;  // set for BMP, PNG, JPEG
    HICON icon;      // set for ICO
};

// Both handles null when the file cannot be read or is too large (see bitmap.h).
Picture LoadPictureFile(const QString& path);

}  // namespace corvane::gdi
