#include "ui/main/m_sys_tray.h"

#include <algorithm>
#include <cstring>

namespace corvane::ui::mSysTray {

void FillTrayRecord(platform::NotifyIconData& record, platform::WindowHandle owner, std::string_view caption) {
    record.cbSize = kTrayRecordSize;
    record.hWnd = owner;
    record.uID = kTrayIconId;
    record.uFlags = kTrayFlags;
    record.uCallbackMessage = kTrayCallbackMessage;
    SetTrayTip(record, caption);
}

void SetTrayTip(platform::NotifyIconData& record, std::string_view caption) {
    constexpr std::size_t field = sizeof record.szTip;
    const std::size_t length = std::min(caption.size(), field - 1);
    std::memset(record.szTip, ' ', field);
    std::memcpy(record.szTip, caption.data(), length);
    record.szTip[length] = '\0';
}

}  // namespace corvane::ui::mSysTray
