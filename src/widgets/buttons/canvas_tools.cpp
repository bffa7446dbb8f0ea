#include "widgets/buttons/canvas_tools.h"

#include "platform/gdi/dc.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/shapes.h"

namespace corvane::buttons {
namespace {

gdi::COLORREF Rgb24(OleColor color) { return static_cast<gdi::COLORREF>(color) & 0xFFFFFFu; }

// Selects `object` and deletes what it replaces; an object that cannot be selected is deleted at once.
void Replace(gdi::HDC canvas, gdi::HGDIOBJ object) {
    if (!object) return;
    const gdi::HGDIOBJ old = gdi::SelectObject(canvas, object);
    if (!old) {
        static_cast<void>(gdi::DeleteObject(object));  // not selected: nothing else owns it
        return;
    }
    // The replaced tool is ours (stock tools report success and stay).
    static_cast<void>(gdi::DeleteObject(old));
}

}  // namespace

void SelectNewBrush(gdi::HDC canvas, OleColor color) { Replace(canvas, gdi::CreateSolidBrush(Rgb24(color))); }

void SelectNewPen(gdi::HDC canvas, int style, int width, OleColor color) {
    Replace(canvas, gdi::CreatePen(style, width, Rgb24(color)));
}

void FillBox(gdi::HDC canvas, int left, int top, int right, int bottom, OleColor fill, OleColor border, int borderWidth,
             int borderStyle) {
    if (border != -1) SelectNewPen(canvas, borderStyle, borderWidth, border);
    SelectNewBrush(canvas, fill);
    if (border == -1) SelectNewPen(canvas, gdi::PS_SOLID, 1, fill);
    static_cast<void>(gdi::Rectangle(canvas, left, top, right, bottom));  // a failing box leaves the canvas
}

}  // namespace corvane::buttons
