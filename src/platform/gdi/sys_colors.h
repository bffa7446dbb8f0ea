#pragma once
// System colours. GetSysColor answers from the current source: by default a fixed classic table
// (button face RGB(212, 208, 200), button text black, window white, highlight RGB(10, 36, 106)
// and the rest below), which needs no running application. The application may switch to the
// desktop's palette, or to any source of its own; indices the source does not answer fall back
// to the classic table. Indices outside 0..30 give 0.

#include <QPalette>

#include <functional>
#include <optional>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

inline constexpr int COLOR_SCROLLBAR = 0;
inline constexpr int COLOR_BACKGROUND = 1;
inline constexpr int COLOR_ACTIVECAPTION = 2;
inline constexpr int COLOR_INACTIVECAPTION = 3;
inline constexpr int COLOR_MENU = 4;
inline constexpr int COLOR_WINDOW = 5;
inline constexpr int COLOR_WINDOWFRAME = 6;
inline constexpr int COLOR_MENUTEXT = 7;
inline constexpr int COLOR_WINDOWTEXT = 8;
inline constexpr int COLOR_CAPTIONTEXT = 9;
inline constexpr int COLOR_ACTIVEBORDER = 10;
inline constexpr int COLOR_INACTIVEBORDER = 11;
inline constexpr int COLOR_APPWORKSPACE = 12;
inline constexpr int COLOR_HIGHLIGHT = 13;
inline constexpr int COLOR_HIGHLIGHTTEXT = 14;
inline constexpr int COLOR_BTNFACE = 15;
inline constexpr int COLOR_BTNSHADOW = 16;
inline constexpr int COLOR_GRAYTEXT = 17;
inline constexpr int COLOR_BTNTEXT = 18;
inline constexpr int COLOR_INACTIVECAPTIONTEXT = 19;
inline constexpr int COLOR_BTNHIGHLIGHT = 20;
inline constexpr int COLOR_3DDKSHADOW = 21;
inline constexpr int COLOR_3DLIGHT = 22;
inline constexpr int COLOR_INFOTEXT = 23;
inline constexpr int COLOR_INFOBK = 24;
inline constexpr int COLOR_HOTLIGHT = 26;
inline constexpr int COLOR_GRADIENTACTIVECAPTION = 27;
inline constexpr int COLOR_GRADIENTINACTIVECAPTION = 28;
inline constexpr int COLOR_MENUHILIGHT = 29;
inline constexpr int COLOR_MENUBAR = 30;

// A source answers an index with a colour, or nothing to fall back to the classic table.
using SysColorSource = std::function<std::optional<COLORREF>(int index)>;

DWORD GetSysColor(int index);
// The classic table's colour (0 outside 0..30).
COLORREF ClassicSysColor(int index);
// Replaces the source of the calling process; an empty function returns to the classic table.
void SetSysColorSource(SysColorSource source);
// A source reading a palette (take QGuiApplication::palette() when the application runs):
// button face Button, button text ButtonText, window Base, window text Text, highlight Highlight,
// highlight text HighlightedText, shadow Dark, light Midlight, highlight edge Light, dark shadow
// Shadow, grey text the disabled Text, tooltips ToolTipBase / ToolTipText, hot light Link,
// menu Window / WindowText. Other indices: classic.
SysColorSource PaletteSysColorSource(const QPalette& palette);

}  // namespace corvane::gdi
