#pragma once
// A memory context over a colour (or monochrome) bitmap, filled with one colour, cleaned up at
// the end of the test; and small readers of its pixels.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/shapes.h"

namespace corvane::gdi::testing {

class Canvas {
public:
    Canvas(int width, int height, COLORREF fill = 0xFFFFFF, bool monochrome = false) : width_(width), height_(height) {
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = monochrome ? CreateBitmap(width, height, 1, 1, nullptr)
                             : CreateCompatibleBitmap(GetDC(nullptr), width, height);
        previous_ = SelectObject(dc_, bitmap_);
        const HBRUSH brush = CreateSolidBrush(fill);
        const RECT all{0, 0, width, height};
        FillRect(dc_, &all, brush);
        DeleteObject(brush);
    }
    ~Canvas() {
        releaseTools();
        SelectObject(dc_, previous_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC dc() const { return dc_; }
    HBITMAP bitmap() const { return bitmap_; }
    int width() const { return width_; }
    int height() const { return height_; }
    COLORREF at(int x, int y) const { return GetPixel(dc_, x, y); }

    // The set of pixels whose colour is not `background`.
    std::set<std::pair<int, int>> marked(COLORREF background = 0xFFFFFF) const {
        std::set<std::pair<int, int>> out;
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                if (at(x, y) != background) out.insert({x, y});
        return out;
    }

    // Selects a new solid pen and brush, deleting the ones it replaces (stock ones stay).
    void tools(int penStyle, int penWidth, COLORREF penColor, COLORREF brushColor) {
        DeleteObject(SelectObject(dc_, CreatePen(penStyle, penWidth, penColor)));
        DeleteObject(SelectObject(dc_, CreateSolidBrush(brushColor)));
    }
    void releaseTools() {
        DeleteObject(SelectObject(dc_, GetStockObject(BLACK_PEN)));
        DeleteObject(SelectObject(dc_, GetStockObject(WHITE_BRUSH)));
    }

private:
    int width_;
    int height_;
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ previous_;
};

}  // namespace corvane::gdi::testing
