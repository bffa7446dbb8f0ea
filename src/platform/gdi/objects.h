#pragma once
// The drawing objects behind the handles, and the per-thread table that owns them.
// Internal to the drawing service: callers use the handle functions of the other headers.

#include <QImage>
#include <QRegion>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "platform/gdi/clip_spans.h"
#include "platform/gdi/gdi_types.h"

namespace corvane::gdi::detail {

// Pixels are kept as QImage::Format_RGB32 (0xFFRRGGBB). A monochrome bitmap holds only
// black (0xFF000000) and white (0xFFFFFFFF) pixels.
// The pixels are never shared with an image outside the table (BitmapImage and WindowContextImage
// hand out copies, CreateBitmapFromImage takes one), so drawing may write through `view`, taken once
// from the image; whoever replaces `pixels` resets `view`.
struct BitmapObject {
    QImage pixels;
    bool monochrome = false;
    bool fromPicture = false;  // reports a pixel-bits pointer, like a device-independent bitmap
    struct View {
        std::uint32_t* rows = nullptr;  // null until taken
        std::ptrdiff_t stride = 0;      // in pixels
        int width = 0;
        int height = 0;
    } view;
};

struct PenObject {
    LOGPEN pen;
};

struct BrushObject {
    LOGBRUSH brush;
};

// Lines the font has laid out and drawn, kept for the next call with the same text (text.cpp).
struct TextLayouts;

// The Qt font is built from the description at each use, so no font-engine object outlives the
// application that owns the font database; what the font keeps between calls (layouts) holds
// pixels and numbers only.
struct FontObject {
    LOGFONTA logFont;
    std::shared_ptr<TextLayouts> layouts;  // made on first use; shared by copies of the description
};

// A region in the form its making needs. A single rectangle (empty included) is kept as such;
// rectangles added below or to the right of everything so far (the way a picture's background
// scan or a row-by-row build adds them) are appended to a list in QRegion's banded order; anything
// else turns the region into a QRegion. Each form is always the region's smallest one: the list
// never holds what one rectangle would.
class RegionObject {
public:
    explicit RegionObject(QRegion r) { set(std::move(r)); }
    explicit RegionObject(QRect r) : rect_(r.isEmpty() ? QRect() : r) {}

    // The region as a QRegion (built once from the other forms and kept).
    const QRegion& get() { return edit(); }
    QRegion& edit();
    void set(QRegion r);
    // The rectangle when the region is one (or empty), without building the general form.
    // (Handed out in place: a rectangle just stored is read back field by field, as it was written.)
    const QRect* simpleRect() const { return form_ == Form::rect ? &rect_ : nullptr; }
    // NULLREGION, SIMPLEREGION or COMPLEXREGION.
    int kind() const { return form_ == Form::bands ? COMPLEXREGION : kindOfOtherForms(); }
    // Adds a rectangle (the union).
    void unite(const QRect& r) {
        if (!appendInPlace(r)) uniteInGeneral(r);
    }
    // The step a picture's background scan repeats most: r is the next run of the last row, and the
    // list has room for it. False (nothing done) otherwise.
    bool appendInPlace(const QRect& r) {
        if (form_ != Form::bands || list_.size() == list_.capacity()) return false;
        const QRect& last = list_.back();
        // Field by field: r is often a rectangle stored moments ago the same way, and a
        // whole-rectangle load of it would wait for those stores to land.
        const int left = r.left(), top = r.top(), right = r.right(), bottom = r.bottom();
        if (top != last.top() || bottom != last.bottom() || left <= last.right() + 1 || right < left) return false;
        list_.emplace_back(QPoint(left, top), QPoint(right, bottom));
        return true;
    }
    // A kept region that owns nothing (below) taken over as the rectangle r (one with area, or
    // QRect() for none, as every maker of regions passes it).
    void reuse(const QRect& r) {
        rect_ = r;
        form_ = Form::rect;
    }
    // Holds no memory of its own: one rectangle (that form never keeps a list or a QRegion).
    bool ownsNothing() const { return form_ == Form::rect; }

private:
    enum class Form : std::uint8_t { rect, bands, general };
    int kindOfOtherForms() const;
    void uniteInGeneral(const QRect& r);
    // Appends r after the list when it lies right of the last band's last rectangle (same band) or
    // at or below the last band; false when it does not.
    bool append(const QRect& r);
    // After the last band changed: a list that has become one rectangle goes back to that form.
    void collapse();

    Form form_ = Form::rect;
    QRect rect_;                // Form::rect (null when empty)
    std::vector<QRect> list_;   // Form::bands: bands top to bottom, each left to right
    std::size_t lastBand_ = 0;  // index of the last band's first rectangle
    // Form::bands: all bands before the last are single rectangles as wide as the first, each
    // directly below the one before; and the last band lies directly below the one before it.
    bool column_ = false;
    bool lastTouches_ = false;
    std::optional<QRegion> region_;  // Form::general (made only then: a rectangle costs no QRegion)
};

// The one palette there is: the stock default palette. A true-colour surface has nothing to map.
struct PaletteObject {};

// An icon keeps every image of its file, with straight (not premultiplied) alpha.
struct IconObject {
    std::vector<QImage> images;
};

struct DcObject {
    bool screen = false;  // the screen context of GetDC(nullptr): no surface of its own
    bool window = false;  // the context of a window (window_dc.h): its bitmap is the window's own
    HBITMAP bitmap;
    HPEN pen;
    HBRUSH brush;
    HFONT font;
    COLORREF textColor = 0x000000;
    COLORREF bkColor = 0xFFFFFF;
    int bkMode = OPAQUE;
    int mapMode = MM_TEXT;
    int stretchMode = BLACKONWHITE;
    HPALETTE palette;
    // The objects behind pen, brush and bitmap, looked up once per selection: a selected object
    // cannot be deleted, so the pointer stays good while the handle is the one cached.
    struct Resolved {
        std::uint32_t pen = 0, brush = 0, bitmap = 0;
        PenObject* penObject = nullptr;
        BrushObject* brushObject = nullptr;
        BitmapObject* bitmapObject = nullptr;
    } resolved;
    std::optional<QRegion> clip;        // the clip region selected by SelectClipRgn
    std::optional<QRegion> windowClip;  // a window context: the window's region
    ClipSpans clipSpans;                // clip and windowClip together as row spans (rebuildClip)
    // A window context: told whenever its surface is taken for drawing, so the window can show it.
    std::function<void()> surfaceTaken;
};

// Rebuilds dc.clipSpans from its clip and window clip.
void rebuildClip(DcObject& dc);

using Object = std::variant<std::monostate, DcObject, BitmapObject, PenObject, BrushObject, FontObject, RegionObject,
                            IconObject, PaletteObject>;

struct Slot {
    std::uint32_t handle = 0;  // the handle naming the object; 0 while the slot is free
    std::uint16_t generation = 1;  // of the slot's next handle
    std::uint16_t nextFree = 0;    // a free slot: the next free one (0 at the end of the list)
    bool stock = false;
    int selections = 0;  // how many device contexts hold this object
    // A free slot may still hold the object it last held when that owns nothing beyond itself
    // (a pen, a brush, a one-rectangle region), so the next object of its kind takes it over
    // without being made anew; `handle` alone says whether the slot is in use.
    Object object;
};

// Stock objects, created with the table and never deleted.
struct StockHandles {
    HBRUSH brushes[6];  // WHITE_BRUSH .. NULL_BRUSH
    HPEN whitePen, blackPen, nullPen;
    HFONT systemFont, guiFont;
    HBITMAP defaultBitmap;  // the 1 x 1 monochrome bitmap of a new memory context
    HPALETTE defaultPalette;
    HDC screenDc;
};

// The handles' table. Slots live in one area of address space reserved for kMaxSlots of them
// when the table opens; a page of it takes memory only once a slot on it is made, and a slot never
// moves, so references to it stay good while objects are added. The table itself is a plain
// per-thread value (no first-use check on reading it): it opens on the thread's first object and
// closes when the thread ends (object_table.cpp).
class ObjectTable {
public:
    static constexpr std::size_t kMaxSlots = 0xFFFF;

    constexpr ObjectTable() = default;
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;

    // The calling thread's table. It opens with the first object made or the first stock object
    // asked for; until then every lookup fails, as there is nothing to find.
    static ObjectTable& current() { return tCurrent; }

    // Stores the object; 0 when the table is full.
    std::uint32_t add(Object object, bool stock = false) {
        const std::uint32_t index = claim(stock, kEmptyList);
        if (index == 0) return 0;
        at(index).object = std::move(object);
        return at(index).handle;
    }
    // Builds the object in place (over a kept object of its kind, when the slot has one).
    template <class T, class... Args>
    std::uint32_t emplace(Args&&... args) {
        const std::uint32_t index = claim(false, listFor<T>());
        if (index == 0) return 0;
        Slot& s = at(index);
        if (T* kept = std::get_if<T>(&s.object)) {
            if constexpr (requires { kept->reuse(std::forward<Args>(args)...); })
                kept->reuse(std::forward<Args>(args)...);  // member by member, no whole-object copy
            else
                *kept = T(std::forward<Args>(args)...);
        } else {
            build<T>(s, std::forward<Args>(args)...);
        }
        return s.handle;
    }
    // The slot of a live handle; null for a free, reused or unknown one.
    Slot* slot(std::uint32_t value) {
        const std::uint32_t index = value & 0xFFFFu;
        if (index - 1 >= count_) return nullptr;  // index 0 wraps round
        Slot& s = at(index);
        return s.handle == value ? &s : nullptr;
    }
    // Frees the slot (the caller has checked it may go). False for an unknown handle.
    bool remove(std::uint32_t value) {
        Slot* s = slot(value);
        if (!s) return false;
        release(*s, value);
        return true;
    }
    // Frees the slot of handle `value`, found already.
    void release(Slot& s, std::uint32_t value) {
        s.handle = 0;
        s.generation = static_cast<std::uint16_t>(s.generation == 0xFFFF ? 1 : s.generation + 1);
        const std::size_t list = listOf(s.object);
        if (list == kEmptyList) [[unlikely]]
            drop(s);
        if (!s.stock) --live_;
        const auto index = static_cast<std::uint16_t>(value & 0xFFFFu);
        s.nextFree = firstFree_[list];
        firstFree_[list] = index;
        ++freeSlots_;
    }
    std::size_t liveObjects() const { return live_; }

    template <class T>
    T* get(std::uint32_t value) {
        Slot* s = slot(value);
        return s ? std::get_if<T>(&s->object) : nullptr;
    }

    const StockHandles& stock() {
        if (!open_) [[unlikely]]
            open();
        return stock_;
    }

    // Ends every object and gives the slot area back (the thread is ending); the table is then
    // as before it opened.
    void close();

private:
    // Reserves the slot area and makes the stock objects. Without the area the table stays empty
    // and every object made fails.
    void open();

    // A free slot number (0 when the table is full), named by a new handle and counted as live
    // unless stock.
    std::uint32_t claim(bool stock, std::size_t list) {
        std::uint32_t index = firstFree_[list];
        if (index != 0) [[likely]] {
            firstFree_[list] = at(index).nextFree;
            --freeSlots_;
        } else {
            index = claimElsewhere();
            if (index == 0) return 0;
        }
        Slot& s = at(index);
        s.handle = (static_cast<std::uint32_t>(s.generation) << 16) | index;
        s.stock = stock;
        s.selections = 0;
        if (!stock) ++live_;
        return index;
    }
    // The slow paths of emplace and release, kept out of line so the common ones stay short.
    template <class T, class... Args>
    [[gnu::noinline]] static void build(Slot& s, Args&&... args) {
        s.object.emplace<T>(std::forward<Args>(args)...);
    }
    [[gnu::noinline]] static void drop(Slot& s) { s.object = std::monostate{}; }
    // Free slots are kept on one list per kind of object they still hold, so that a new pen finds
    // a pen to take over even while pens and brushes are made and deleted in turn (a gradient's
    // every band); everything else goes on the empty list.
    static constexpr std::size_t kEmptyList = 0, kPenList = 1, kBrushList = 2, kRegionList = 3, kLists = 4;
    template <class T>
    static constexpr std::size_t listFor() {
        if constexpr (std::is_same_v<T, PenObject>) return kPenList;
        if constexpr (std::is_same_v<T, BrushObject>) return kBrushList;
        if constexpr (std::is_same_v<T, RegionObject>) return kRegionList;
        return kEmptyList;
    }
    // The list a freed object goes on: its kind's when it may stay in its slot (it holds nothing
    // but itself), else the empty one.
    static std::size_t listOf(const Object& object) {
        if (std::holds_alternative<PenObject>(object)) return kPenList;
        if (std::holds_alternative<BrushObject>(object)) return kBrushList;
        if (const auto* region = std::get_if<RegionObject>(&object); region && region->ownsNothing())
            return kRegionList;
        return kEmptyList;
    }
    // A slot when the wanted list is empty: a new one while few slots are free, else one from any
    // other list, so the table never holds more than kSpareSlots slots beyond its most objects.
    std::uint32_t claimElsewhere();
    static constexpr std::size_t kSpareSlots = 16;
    // Makes a slot never used before (0 when the table is full or has no area).
    std::uint32_t grow();

    // Slot numbers start at 1.
    Slot& at(std::uint32_t index) { return slots_[index - 1]; }

    // local-exec: read straight from the thread's block at an offset fixed when the program is
    // linked, with no resolver call to save registers around (the libraries are linked into
    // programs only; a shared library holding this table would fail to link).
    [[gnu::tls_model("local-exec")]] static constinit thread_local ObjectTable tCurrent;

    Slot* slots_ = nullptr;    // the reserved area (kMaxSlots slots); the first count_ are made
    std::uint32_t count_ = 0;  // slots made so far
    std::array<std::uint16_t, kLists> firstFree_{};  // each list's last freed slot (0: none)
    std::size_t freeSlots_ = 0;                      // on all lists together
    bool open_ = false;
    std::size_t live_ = 0;
    StockHandles stock_{};
};

inline ObjectTable& table() { return ObjectTable::current(); }

template <ObjectKind K, class T>
T* lookup(Handle<K> h) {
    return table().get<T>(h.value);
}

inline DcObject* lookupDc(HDC dc) { return table().get<DcObject>(dc.value); }
inline BitmapObject* lookupBitmap(HBITMAP b) { return table().get<BitmapObject>(b.value); }

// The context's selected pen, brush and bitmap (null when a handle is no longer valid).
inline PenObject* selectedPen(DcObject& dc) {
    if (dc.resolved.pen != dc.pen.value || !dc.resolved.penObject) {
        dc.resolved.penObject = table().get<PenObject>(dc.pen.value);
        dc.resolved.pen = dc.pen.value;
    }
    return dc.resolved.penObject;
}
inline BrushObject* selectedBrush(DcObject& dc) {
    if (dc.resolved.brush != dc.brush.value || !dc.resolved.brushObject) {
        dc.resolved.brushObject = table().get<BrushObject>(dc.brush.value);
        dc.resolved.brush = dc.brush.value;
    }
    return dc.resolved.brushObject;
}
inline BitmapObject* selectedBitmap(DcObject& dc) {
    if (dc.resolved.bitmap != dc.bitmap.value || !dc.resolved.bitmapObject) {
        dc.resolved.bitmapObject = table().get<BitmapObject>(dc.bitmap.value);
        dc.resolved.bitmap = dc.bitmap.value;
    }
    return dc.resolved.bitmapObject;
}

// Pixel value of a colour on a bitmap: on a monochrome bitmap a colour is white when it is
// nearer to white than to black (r + g + b >= 383), else black.
inline std::uint32_t pixelFromColor(COLORREF c, bool monochrome) {
    if (monochrome) {
        const int sum = GetRValue(c) + GetGValue(c) + GetBValue(c);
        return sum >= 383 ? 0xFFFFFFFFu : 0xFF000000u;
    }
    return 0xFF000000u | (static_cast<std::uint32_t>(GetRValue(c)) << 16) |
           (static_cast<std::uint32_t>(GetGValue(c)) << 8) | static_cast<std::uint32_t>(GetBValue(c));
}

inline COLORREF colorFromPixel(std::uint32_t p) {
    return RGB(static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF));
}

}  // namespace corvane::gdi::detail
