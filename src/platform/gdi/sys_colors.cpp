#include "platform/gdi/sys_colors.h"

#include <array>
#include <utility>

namespace corvane::gdi {

namespace {

constexpr std::array<COLORREF, 31> kClassic = {
    RGB(212, 208, 200),  // 0 scroll bar
    RGB(58, 110, 165),   // 1 desktop
    RGB(10, 36, 106),    // 2 active caption
    RGB(128, 128, 128),  // 3 inactive caption
    RGB(212, 208, 200),  // 4 menu
    RGB(255, 255, 255),  // 5 window
    RGB(0, 0, 0),        // 6 window frame
    RGB(0, 0, 0),        // 7 menu text
    RGB(0, 0, 0),        // 8 window text
    RGB(255, 255, 255),  // 9 caption text
    RGB(212, 208, 200),  // 10 active border
    RGB(212, 208, 200),  // 11 inactive border
    RGB(128, 128, 128),  // 12 application workspace
    RGB(10, 36, 106),    // 13 highlight
    RGB(255, 255, 255),  // 14 highlight text
    RGB(212, 208, 200),  // 15 button face
    RGB(128, 128, 128),  // 16 button shadow
    RGB(128, 128, 128),  // 17 grey text
    RGB(0, 0, 0),        // 18 button text
    RGB(212, 208, 200),  // 19 inactive caption text
    RGB(255, 255, 255),  // 20 button highlight
    RGB(64, 64, 64),     // 21 dark shadow
    RGB(212, 208, 200),  // 22 light
    RGB(0, 0, 0),        // 23 tooltip text
    RGB(255, 255, 225),  // 24 tooltip background
    RGB(181, 181, 181),  // 25 (unnamed)
    RGB(0, 0, 128),      // 26 hot light
    RGB(166, 202, 240),  // 27 active caption gradient
    RGB(192, 192, 192),  // 28 inactive caption gradient
    RGB(10, 36, 106),    // 29 menu highlight
    RGB(212, 208, 200),  // 30 menu bar
};

SysColorSource& source() {
    static SysColorSource current;
    return current;
}

COLORREF fromQColor(const QColor& c) { return RGB(c.red(), c.green(), c.blue()); }

}  // namespace

COLORREF ClassicSysColor(int index) {
    return index >= 0 && index < static_cast<int>(kClassic.size()) ? kClassic[static_cast<std::size_t>(index)] : 0;
}

DWORD GetSysColor(int index) {
    if (index < 0 || index >= static_cast<int>(kClassic.size())) return 0;
    if (const SysColorSource& s = source()) {
        if (const std::optional<COLORREF> c = s(index)) return *c & 0xFFFFFFu;
    }
    return ClassicSysColor(index);
}

void SetSysColorSource(SysColorSource s) { source() = std::move(s); }

SysColorSource PaletteSysColorSource(const QPalette& palette) {
    return [palette](int index) -> std::optional<COLORREF> {
        const auto active = [&](QPalette::ColorRole role) { return fromQColor(palette.color(QPalette::Active, role)); };
        switch (index) {
            case COLOR_BTNFACE:
            case COLOR_3DLIGHT:
                return index == COLOR_BTNFACE ? active(QPalette::Button) : active(QPalette::Midlight);
            case COLOR_BTNTEXT:
                return active(QPalette::ButtonText);
            case COLOR_WINDOW:
                return active(QPalette::Base);
            case COLOR_WINDOWTEXT:
                return active(QPalette::Text);
            case COLOR_HIGHLIGHT:
                return active(QPalette::Highlight);
            case COLOR_HIGHLIGHTTEXT:
                return active(QPalette::HighlightedText);
            case COLOR_BTNSHADOW:
                return active(QPalette::Dark);
            case COLOR_BTNHIGHLIGHT:
                return active(QPalette::Light);
            case COLOR_3DDKSHADOW:
                return active(QPalette::Shadow);
            case COLOR_GRAYTEXT:
                return fromQColor(palette.color(QPalette::Disabled, QPalette::Text));
            case COLOR_INFOBK:
                return active(QPalette::ToolTipBase);
            case COLOR_INFOTEXT:
                return active(QPalette::ToolTipText);
            case COLOR_HOTLIGHT:
                return active(QPalette::Link);
            case COLOR_MENU:
            case COLOR_MENUBAR:
                return active(QPalette::Window);
            case COLOR_MENUTEXT:
                return active(QPalette::WindowText);
            default:
                return std::nullopt;
        }
    };
}

}  // namespace corvane::gdi
