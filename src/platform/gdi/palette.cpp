#include "platform/gdi/palette.h"

#include "platform/gdi/objects.h"

namespace corvane::gdi {

HPALETTE SelectPalette(HDC dc, HPALETTE palette, BOOL /*forceBackground*/) {
    detail::DcObject* d = detail::lookupDc(dc);
    if (!d) return nullptr;
    if (!palette) palette = detail::table().stock().defaultPalette;
    if (!detail::lookup<ObjectKind::palette, detail::PaletteObject>(palette)) return nullptr;
    const HPALETTE previous = d->palette;
    d->palette = palette;
    return previous;
}

UINT RealizePalette(HDC dc) { return detail::lookupDc(dc) ? 0u : GDI_ERROR; }

}  // namespace corvane::gdi
