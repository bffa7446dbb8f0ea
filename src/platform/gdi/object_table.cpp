#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/gdi/objects.h"

namespace corvane::gdi::detail {

namespace {

// Closes a thread's table when the thread ends.
class TableCloser {
public:
    explicit TableCloser(ObjectTable& table) : table_(table) {}
    TableCloser(const TableCloser&) = delete;
    TableCloser& operator=(const TableCloser&) = delete;
    ~TableCloser() { table_.close(); }

private:
    ObjectTable& table_;
};

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

void ObjectTable::open() {
    if (!slots_) {
        void* area = ::mmap(nullptr, kMaxSlots * sizeof(Slot), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (area == MAP_FAILED) {
            // Open but empty: every object made from now on fails, as when the table is full.
            std::fprintf(stderr, "corvane: no address space for the drawing objects: %s\n", std::strerror(errno));
            open_ = true;
            return;
        }
        slots_ = static_cast<Slot*>(area);
    }
    open_ = true;
    // Closed with the thread. Made here, so the first-use check of this object costs the opening
    // only, never a lookup.
    thread_local TableCloser closer(*this);

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

std::uint32_t ObjectTable::grow() {
    if (!open_) open();
    if (!slots_ || count_ >= kMaxSlots) return 0;
    std::construct_at(slots_ + count_);
    return ++count_;
}

std::uint32_t ObjectTable::claimElsewhere() {
    if (freeSlots_ < kSpareSlots) {
        if (const std::uint32_t index = grow()) return index;
    }
    for (std::uint16_t& first : firstFree_) {
        if (first == 0) continue;
        const std::uint32_t index = first;
        first = at(index).nextFree;
        --freeSlots_;
        return index;
    }
    return 0;  // full
}

void ObjectTable::close() {
    if (!slots_) return;
    std::destroy(slots_, slots_ + count_);
    ::munmap(slots_, kMaxSlots * sizeof(Slot));
    slots_ = nullptr;
    count_ = 0;
    firstFree_ = {};
    freeSlots_ = 0;
    open_ = false;
    live_ = 0;
    stock_ = StockHandles{};
}

[[gnu::tls_model("local-exec")]] constinit thread_local ObjectTable ObjectTable::tCurrent;

}  // namespace corvane::gdi::detail
