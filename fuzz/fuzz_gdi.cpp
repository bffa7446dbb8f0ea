// Drives the drawing canvas with arbitrary commands and coordinates (extremes included): every
// call must either draw inside the bitmap or fail, with no overflow, no out-of-bounds access and
// no object left behind.
#include <array>
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

template <std::size_t N>
std::array<int, N> Coords(Input& in) {
    std::array<int, N> values{};
    for (int& v : values) v = in.coord();
    return values;
}

int SaturatingAdd(int a, int b) {
    int sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? (b > 0 ? INT_MAX : INT_MIN) : sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Every value is read in a fixed order (never several reads as one call's arguments, whose order
    // differs between compilers), so a kept input means the same under clang's fuzzer and GCC's replay.
    Input in(data, size);
    const std::size_t before = gdi::LiveObjectCount();
    const gdi::HDC dc = gdi::CreateCompatibleDC(nullptr);
    const gdi::HDC src = gdi::CreateCompatibleDC(nullptr);
    const int targetW = 1 + in.byte() % 40;
    const int targetH = 1 + in.byte() % 40;
    const gdi::HBITMAP target = gdi::CreateCompatibleBitmap(gdi::GetDC(nullptr), targetW, targetH);
    const bool monoSource = in.byte() & 1;
    const int sourceW = 1 + in.byte() % 20;
    const int sourceH = 1 + in.byte() % 20;
    const gdi::HBITMAP source = monoSource ? gdi::CreateBitmap(sourceW, sourceH, 1, 1, nullptr)
                                           : gdi::CreateCompatibleBitmap(gdi::GetDC(nullptr), sourceW, sourceH);
    const gdi::HGDIOBJ oldTarget = gdi::SelectObject(dc, target);
    const gdi::HGDIOBJ oldSource = gdi::SelectObject(src, source);
    // A window's context beside the memory ones (its own surface, clipped by a window region), made
    // by the first command that uses it.
    gdi::HDC window{};
    std::vector<gdi::HRGN> regions;
    const auto anyRegion = [&]() { return regions[in.byte() % regions.size()]; };
    int steps = 0;
    while (in.more() && ++steps < 64) {
        switch (in.byte() % 15) {
            case 0: {
                const auto c = Coords<4>(in);
                gdi::Rectangle(dc, c[0], c[1], c[2], c[3]);
                break;
            }
            case 1: {
                std::vector<gdi::POINT> pts(1 + in.byte() % 6);
                for (auto& p : pts) {
                    const auto c = Coords<2>(in);
                    p = {c[0], c[1]};
                }
                gdi::Polyline(dc, pts.data(), static_cast<int>(pts.size()));
                break;
            }
            case 2: {
                // The box's far corner is its near corner plus a small size, saturated at INT_MAX so the
                // target itself never overflows: extreme coordinates are the canvas's to handle.
                const auto box = Coords<2>(in);
                const int r = SaturatingAdd(box[0], in.byte() % 64);
                const int b = SaturatingAdd(box[1], in.byte() % 64);
                const auto ends = Coords<4>(in);
                gdi::Arc(dc, box[0], box[1], r, b, ends[0], ends[1], ends[2], ends[3]);
                break;
            }
            case 3: {
                const auto c = Coords<4>(in);
                gdi::PatBlt(dc, c[0], c[1], c[2], c[3], in.word());
                break;
            }
            case 4: {
                const auto c = Coords<8>(in);
                gdi::StretchBlt(dc, c[0], c[1], c[2], c[3], src, c[4], c[5], c[6], c[7], in.word());
                break;
            }
            case 5: {
                const auto c = Coords<6>(in);
                gdi::BitBlt(dc, c[0], c[1], c[2], c[3], dc, c[4], c[5], in.word());
                break;
            }
            case 6: {
                const int style = in.byte() % 8;
                // Mostly thin and wide pens, sometimes one far wider than the bitmap.
                const std::uint8_t w = in.byte();
                const int width = w < 250 ? w % 10 - 1 : static_cast<int>(in.word() % 300);
                gdi::DeleteObject(gdi::SelectObject(dc, gdi::CreatePen(style, width, in.word())));
                gdi::DeleteObject(gdi::SelectObject(dc, gdi::CreateSolidBrush(in.word())));
                break;
            }
            case 7: {
                const auto c = Coords<4>(in);
                regions.push_back(gdi::CreateRectRgn(c[0], c[1], c[2], c[3]));
                break;
            }
            case 8: {
                const auto c = Coords<4>(in);
                regions.push_back(gdi::CreateEllipticRgn(c[0], c[1], c[2] % 300, c[3] % 300));
                break;
            }
            case 9: {
                std::vector<gdi::POINT> pts(in.byte() % 8);
                for (auto& p : pts) {
                    const auto c = Coords<2>(in);
                    p = {c[0] % 200000, c[1] % 2000};
                }
                const int mode = 1 + in.byte() % 2;
                regions.push_back(gdi::CreatePolygonRgn(pts.data(), static_cast<int>(pts.size()), mode));
                break;
            }
            case 10:
                if (regions.size() >= 2) {
                    const gdi::HRGN dest = anyRegion();
                    const gdi::HRGN a = anyRegion();
                    const gdi::HRGN b = anyRegion();
                    gdi::CombineRgn(dest, a, b, in.byte() % 7);
                }
                break;
            case 11:
                if (!regions.empty()) {
                    const gdi::HBRUSH brush = gdi::CreateSolidBrush(in.word());
                    const gdi::HRGN region = anyRegion();
                    const int w = in.byte() % 4;
                    const int h = in.byte() % 4;
                    gdi::FrameRgn(dc, region, brush, w, h);
                    gdi::DeleteObject(brush);
                }
                break;
            case 12: {
                const bool none = regions.empty() || (in.byte() & 1);
                gdi::SelectClipRgn(dc, none ? gdi::HRGN() : anyRegion());
                break;
            }
            case 13: {
                const auto c = Coords<4>(in);
                const gdi::RECT r{c[0], c[1], c[2], c[3]};
                gdi::DrawFocusRect(dc, &r);
                const auto set = Coords<2>(in);
                gdi::SetPixel(dc, set[0], set[1], in.word());
                const auto get = Coords<2>(in);
                gdi::GetPixel(dc, get[0], get[1]);
                if (!regions.empty()) {
                    const gdi::HRGN region = anyRegion();
                    const auto by = Coords<2>(in);
                    gdi::OffsetRgn(region, by[0], by[1]);
                }
                break;
            }
            case 14: {
                if (window == gdi::HDC()) {
                    const int w = in.byte() % 40;
                    const int h = in.byte() % 40;
                    window = gdi::MakeWindowContext(w, h, in.word(), {});
                }
                const bool onMemory = in.byte() & 1;
                gdi::SelectPalette(onMemory ? dc : window,
                                   static_cast<gdi::HPALETTE>(gdi::GetStockObject(gdi::DEFAULT_PALETTE)), gdi::TRUE);
                gdi::RealizePalette(window);
                const bool shaped = !regions.empty() && (in.byte() & 1);
                if (shaped) {
                    const QRegion shape = gdi::RegionToQRegion(anyRegion());
                    gdi::SetWindowContextRegion(window, &shape);
                } else {
                    gdi::SetWindowContextRegion(window, nullptr);
                }
                if (in.byte() & 1) {
                    const int w = in.byte() % 40;
                    const int h = in.byte() % 40;
                    gdi::ResizeWindowContext(window, w, h, in.word());
                }
                const auto to = Coords<6>(in);
                gdi::BitBlt(window, to[0], to[1], to[2], to[3], dc, to[4], to[5], in.word());
                const auto from = Coords<6>(in);
                gdi::BitBlt(dc, from[0], from[1], from[2], from[3], window, from[4], from[5], in.word());
                const auto r = Coords<4>(in);
                gdi::Rectangle(window, r[0], r[1], r[2], r[3]);
                break;
            }
        }
    }
    if (window != gdi::HDC()) gdi::EndWindowContext(window);
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
