// Drives the drawing canvas with arbitrary commands and coordinates (extremes included): every
// call must either draw inside the bitmap or fail, with no overflow, no out-of-bounds access and
// no object left behind.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/gdi/bitmap.h"
#include "platform/gdi/blit.h"
#include "platform/gdi/dc.h"
#include "platform/gdi/palette.h"
#include "platform/gdi/pen_brush.h"
#include "platform/gdi/region.h"
#include "platform/gdi/shapes.h"
#include "platform/gdi/window_dc.h"

namespace gdi = corvane::gdi;

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return pos_ < size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t word() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    // Mostly small coordinates around the canvas, sometimes anything at all.
    int coord() {
        const std::uint8_t kind = byte();
        if (kind < 200) return static_cast<int>(kind % 48) - 8;
        return static_cast<int>(word());
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// start + offset without overflow: near the top of the range the coordinate stays at the top.
int Beside(int start, int offset) {
    const long long sum = static_cast<long long>(start) + offset;
    return sum > INT32_MAX ? INT32_MAX : static_cast<int>(sum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    const std::size_t before = gdi::LiveObjectCount();
    const gdi::HDC dc = gdi::CreateCompatibleDC(nullptr);
    const gdi::HDC src = gdi::CreateCompatibleDC(nullptr);
    const gdi::HBITMAP target =
        gdi::CreateCompatibleBitmap(gdi::GetDC(nullptr), 1 + in.byte() % 40, 1 + in.byte() % 40);
    const gdi::HBITMAP source =
        in.byte() & 1 ? gdi::CreateBitmap(1 + in.byte() % 20, 1 + in.byte() % 20, 1, 1, nullptr)
                      : gdi::CreateCompatibleBitmap(gdi::GetDC(nullptr), 1 + in.byte() % 20, 1 + in.byte() % 20);
    const gdi::HGDIOBJ oldTarget = gdi::SelectObject(dc, target);
    const gdi::HGDIOBJ oldSource = gdi::SelectObject(src, source);
    // A window's context beside the memory ones: its own surface, clipped by a window region.
    const gdi::HDC window = gdi::MakeWindowContext(in.byte() % 40, in.byte() % 40, in.word(), {});
    std::vector<gdi::HRGN> regions;
    int steps = 0;
    while (in.more() && ++steps < 64) {
        switch (in.byte() % 15) {
            case 0:
                gdi::Rectangle(dc, in.coord(), in.coord(), in.coord(), in.coord());
                break;
            case 1: {
                std::vector<gdi::POINT> pts(1 + in.byte() % 6);
                for (auto& p : pts) p = {in.coord(), in.coord()};
                gdi::Polyline(dc, pts.data(), static_cast<int>(pts.size()));
                break;
            }
            case 2: {
                const int l = in.coord(), t = in.coord();
                gdi::Arc(dc, l, t, Beside(l, in.byte() % 64), Beside(t, in.byte() % 64), in.coord(), in.coord(),
                         in.coord(), in.coord());
                break;
            }
            case 3:
                gdi::PatBlt(dc, in.coord(), in.coord(), in.coord(), in.coord(), in.word());
                break;
            case 4:
                gdi::StretchBlt(dc, in.coord(), in.coord(), in.coord(), in.coord(), src, in.coord(), in.coord(),
                                in.coord(), in.coord(), in.word());
                break;
            case 5:
                gdi::BitBlt(dc, in.coord(), in.coord(), in.coord(), in.coord(), dc, in.coord(), in.coord(), in.word());
                break;
            case 6: {
                const int style = in.byte() % 8;
                // Mostly thin and wide pens, sometimes one far wider than the bitmap.
                const std::uint8_t w = in.byte();
                const int width = w < 250 ? w % 10 - 1 : static_cast<int>(in.word() % 300);
                gdi::DeleteObject(gdi::SelectObject(dc, gdi::CreatePen(style, width, in.word())));
                gdi::DeleteObject(gdi::SelectObject(dc, gdi::CreateSolidBrush(in.word())));
                break;
            }
            case 7:
                regions.push_back(gdi::CreateRectRgn(in.coord(), in.coord(), in.coord(), in.coord()));
                break;
            case 8:
                regions.push_back(gdi::CreateEllipticRgn(in.coord(), in.coord(), in.coord() % 300, in.coord() % 300));
                break;
            case 9: {
                std::vector<gdi::POINT> pts(in.byte() % 8);
                for (auto& p : pts) p = {in.coord() % 200000, in.coord() % 2000};
                regions.push_back(gdi::CreatePolygonRgn(pts.data(), static_cast<int>(pts.size()), 1 + in.byte() % 2));
                break;
            }
            case 10:
                if (regions.size() >= 2)
                    gdi::CombineRgn(regions[in.byte() % regions.size()], regions[in.byte() % regions.size()],
                                    regions[in.byte() % regions.size()], in.byte() % 7);
                break;
            case 11:
                if (!regions.empty()) {
                    const gdi::HBRUSH brush = gdi::CreateSolidBrush(in.word());
                    gdi::FrameRgn(dc, regions[in.byte() % regions.size()], brush, in.byte() % 4, in.byte() % 4);
                    gdi::DeleteObject(brush);
                }
                break;
            case 12:
                gdi::SelectClipRgn(
                    dc, regions.empty() || (in.byte() & 1) ? gdi::HRGN() : regions[in.byte() % regions.size()]);
                break;
            case 13: {
                const gdi::RECT r{in.coord(), in.coord(), in.coord(), in.coord()};
                gdi::DrawFocusRect(dc, &r);
                gdi::SetPixel(dc, in.coord(), in.coord(), in.word());
                gdi::GetPixel(dc, in.coord(), in.coord());
                if (!regions.empty()) gdi::OffsetRgn(regions[in.byte() % regions.size()], in.coord(), in.coord());
                break;
            }
            case 14: {
                gdi::SelectPalette(in.byte() & 1 ? dc : window,
                                   static_cast<gdi::HPALETTE>(gdi::GetStockObject(gdi::DEFAULT_PALETTE)), gdi::TRUE);
                gdi::RealizePalette(window);
                if (!regions.empty() && (in.byte() & 1)) {
                    const QRegion shape = gdi::RegionToQRegion(regions[in.byte() % regions.size()]);
                    gdi::SetWindowContextRegion(window, &shape);
                } else {
                    gdi::SetWindowContextRegion(window, nullptr);
                }
                if (in.byte() & 1) gdi::ResizeWindowContext(window, in.byte() % 40, in.byte() % 40, in.word());
                gdi::BitBlt(window, in.coord(), in.coord(), in.coord(), in.coord(), dc, in.coord(), in.coord(),
                            in.word());
                gdi::BitBlt(dc, in.coord(), in.coord(), in.coord(), in.coord(), window, in.coord(), in.coord(),
                            in.word());
                gdi::Rectangle(window, in.coord(), in.coord(), in.coord(), in.coord());
                break;
            }
        }
    }
    gdi::EndWindowContext(window);
    for (gdi::HRGN r : regions) gdi::DeleteObject(r);
    gdi::DeleteObject(gdi::SelectObject(dc, gdi::GetStockObject(gdi::BLACK_PEN)));
    gdi::DeleteObject(gdi::SelectObject(dc, gdi::GetStockObject(gdi::WHITE_BRUSH)));
    gdi::SelectObject(dc, oldTarget);
    gdi::SelectObject(src, oldSource);
    gdi::DeleteObject(target);
    gdi::DeleteObject(source);
    gdi::DeleteDC(dc);
    gdi::DeleteDC(src);
    if (gdi::LiveObjectCount() != before) std::abort();  // an object was left behind
    return 0;
}
