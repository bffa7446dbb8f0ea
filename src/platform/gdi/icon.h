#pragma once
// Icons: pictures with an alpha channel, kept with every image size their file holds.
// DrawIconEx picks the image whose size equals the requested size, else the largest one, scales
// it to the requested size by the nearest-pixel rule of CopyImage, and draws it:
// - DI_NORMAL: each channel becomes (icon * alpha + screen * (255 - alpha) + 127) / 255;
// - DI_IMAGE: the icon's colours, alpha ignored;
// - DI_MASK: pixels with any coverage (alpha > 0) become black, the others are left.
// On a monochrome bitmap a pixel is written when alpha is 128 or more, black or white by nearness.

#include <QImage>
#include <QString>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

HICON CreateIconFromImage(const QImage& image);
// Every image of an .ico file; null when the file cannot be read.
HICON LoadIconFile(const QString& path);
BOOL DestroyIcon(HICON icon);

// Makes two new bitmaps the caller deletes: hbmColor (colour, the largest image's colours) and
// hbmMask (monochrome, white where the icon is fully transparent).
BOOL GetIconInfo(HICON icon, ICONINFO* info);

// cx or cy 0: the chosen image's own size. step and flickerFreeBrush are not used.
BOOL DrawIconEx(HDC dc, int x, int y, HICON icon, int cx, int cy, UINT step, HBRUSH flickerFreeBrush, UINT flags);

}  // namespace corvane::gdi
