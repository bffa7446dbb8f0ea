#include <cstring>

#include "platform/gdi/objects.h"

namespace corvane::gdi::detail {

namespace {

template <ObjectKind K>
Handle<K> addStock(ObjectTable& t, Object object) {
    return Handle<K>(t.add(std::move(object), true));
}

BrushObject solidBrush(COLORREF c) { return BrushObject{LOGBRUSH{BS_SOLID, c, 0}}; }
PenObject pen(int style, COLORREF c) { return PenObject{LOGPEN{static_cast<UINT>(style), {1, 0}, c}}; }

FontObject font(const char* face, LONG height, LONG weight) {
    FontObject f;
    f.logFont.lfHeight = height;
    f.logFont.lfWeight = weight;
    f.logFont.lfCharSet = DEFAULT_CHARSET;
    std::strncpy(f.logFont.lfFaceName, face, LF_FACESIZE - 1);
    return f;
}

}  // namespace

ObjectTable::ObjectTable() {
    stock_.brushes[WHITE_BRUSH] = addStock<ObjectKind::brush>(*this, solidBrush(0xFFFFFF));
    stock_.brushes[LTGRAY_BRUSH] = addStock<ObjectKind::brush>(*this, solidBrush(0xC0C0C0));
    stock_.brushes[GRAY_BRUSH] = addStock<ObjectKind::brush>(*this, solidBrush(0x808080));
    stock_.brushes[DKGRAY_BRUSH] = addStock<ObjectKind::brush>(*this, solidBrush(0x404040));
    stock_.brushes[BLACK_BRUSH] = addStock<ObjectKind::brush>(*this, solidBrush(0x000000));
    stock_.brushes[NULL_BRUSH] = addStock<ObjectKind::brush>(*this, BrushObject{LOGBRUSH{BS_NULL, 0, 0}});
    stock_.whitePen = addStock<ObjectKind::pen>(*this, pen(PS_SOLID, 0xFFFFFF));
    stock_.blackPen = addStock<ObjectKind::pen>(*this, pen(PS_SOLID, 0x000000));
    stock_.nullPen = addStock<ObjectKind::pen>(*this, pen(PS_NULL, 0x000000));
    stock_.systemFont = addStock<ObjectKind::font>(*this, font("System", 16, FW_BOLD));
    stock_.guiFont = addStock<ObjectKind::font>(*this, font("Sans Serif", -11, FW_NORMAL));
    BitmapObject one;
    one.pixels = QImage(1, 1, QImage::Format_RGB32);
    one.pixels.fill(0xFF000000u);
    one.monochrome = true;
    stock_.defaultBitmap = addStock<ObjectKind::bitmap>(*this, std::move(one));
    stock_.defaultPalette = addStock<ObjectKind::palette>(*this, PaletteObject{});
    DcObject screen;
    screen.screen = true;
    screen.palette = stock_.defaultPalette;
    screen.pen = stock_.blackPen;
    screen.brush = stock_.brushes[WHITE_BRUSH];
    screen.font = stock_.systemFont;
    stock_.screenDc = HDC(add(std::move(screen), true));
}

std::uint32_t ObjectTable::claim(bool stock) {
    std::uint32_t index = 0;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
    } else {
        if (count_ >= kMaxSlots) return 0;
        if ((count_ >> kChunkBits) >= chunks_.size())
            chunks_.push_back(std::make_unique<std::array<Slot, 1u << kChunkBits>>());
        index = ++count_;
    }
    Slot& s = at(index);
    s.stock = stock;
    s.selections = 0;
    if (!stock) ++live_;
    return index;
}

bool ObjectTable::remove(std::uint32_t value) {
    Slot* s = slot(value);
    if (!s) return false;
    s->object = std::monostate{};
    s->generation = static_cast<std::uint16_t>(s->generation == 0xFFFF ? 1 : s->generation + 1);
    if (!s->stock) --live_;
    free_.push_back(static_cast<std::uint16_t>(value & 0xFFFFu));
    return true;
}

}  // namespace corvane::gdi::detail
