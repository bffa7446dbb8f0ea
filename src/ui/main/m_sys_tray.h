#pragma once
// mSysTray: the rules of the program's one tray record `TrayIconData`.
#include <cstdint>
#include <string_view>

#include "platform/tray.h"

namespace corvane::ui::mSysTray {

inline constexpr std::uint32_t kTrayRecordSize = 88;
inline constexpr std::uint32_t kTrayIconId = 1;
inline constexpr std::uint32_t kTrayFlags = platform::NIF_MESSAGE | platform::NIF_ICON | platform::NIF_TIP;
inline constexpr std::uint32_t kTrayCallbackMessage = platform::WM_MOUSEMOVE;  // 512

// Fills the record as start-up does: size 88, the owner window, icon id 1, flags 7, callback message 512,
// and the tip from the caption.
void FillTrayRecord(platform::NotifyIconData& record, platform::WindowHandle owner, std::string_view caption);

// The tip is the caption followed by a NUL, left-aligned in the 64-character field and padded with
// blanks. A caption of 64 characters or more is cut to 63 so the tip always keeps its NUL.
void SetTrayTip(platform::NotifyIconData& record, std::string_view caption);

// The mouse messages of a click on the tray icon that bring the main window back: 513 to 519
// (button downs, ups and double clicks; 519 is the middle button's down). Moving the pointer over
// the icon (512) and the middle button's up and double click (520, 521) do not.
constexpr bool RestoresWindow(std::uint32_t mouseMessage) { return mouseMessage >= 513 && mouseMessage <= 519; }

}  // namespace corvane::ui::mSysTray
