#include "platform/gdi/get_object.h"

#include <cstring>

#include "platform/gdi/objects.h"

namespace corvane::gdi {

namespace {

template <class T>
int copyOut(const T& value, int size, void* buffer) {
    constexpr int needed = static_cast<int>(sizeof(T));
    if (!buffer) return needed;
    if (size < needed) return 0;
    std::memcpy(buffer, &value, sizeof(T));
    return needed;
}

}  // namespace

int GetObjectA(HGDIOBJ object, int size, void* buffer) {
    detail::Slot* s = detail::table().slot(object.value);
    if (!s) return 0;
    if (auto* b = std::get_if<detail::BitmapObject>(&s->object)) {
        BITMAP info;
        info.bmWidth = b->pixels.width();
        info.bmHeight = b->pixels.height();
        info.bmPlanes = 1;
        info.bmBitsPixel = b->monochrome ? 1 : 32;
        info.bmWidthBytes = b->monochrome ? ((info.bmWidth + 15) / 16) * 2 : info.bmWidth * 4;
        info.bmBits = b->fromPicture ? static_cast<void*>(b->pixels.bits()) : nullptr;
        return copyOut(info, size, buffer);
    }
    if (auto* p = std::get_if<detail::PenObject>(&s->object)) return copyOut(p->pen, size, buffer);
    if (auto* br = std::get_if<detail::BrushObject>(&s->object)) return copyOut(br->brush, size, buffer);
    if (auto* f = std::get_if<detail::FontObject>(&s->object)) return copyOut(f->logFont, size, buffer);
    return 0;
}

}  // namespace corvane::gdi
