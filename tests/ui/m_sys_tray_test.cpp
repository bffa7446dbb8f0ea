// The tray record's fixed fields, the tip rule and which tray clicks restore the window.
#include <gtest/gtest.h>

#include <string>

#include "ui/main/m_sys_tray.h"

namespace corvane::ui {
namespace {

TEST(TrayRecord, TipIsCaptionNulThenBlanks) {
    platform::NotifyIconData record;
    mSysTray::FillTrayRecord(record, 42, "Corvane - 5 Attempts blocked");
    EXPECT_EQ(record.hWnd, 42u);
    const std::string caption = "Corvane - 5 Attempts blocked";
    EXPECT_EQ(std::string(record.szTip), caption);
    EXPECT_EQ(record.szTip[caption.size()], '\0');
    for (std::size_t i = caption.size() + 1; i < sizeof record.szTip; ++i) EXPECT_EQ(record.szTip[i], ' ') << i;
}

TEST(TrayRecord, OverlongCaptionKeepsItsTerminator) {
    platform::NotifyIconData record;
    mSysTray::SetTrayTip(record, std::string(80, 'x'));
    EXPECT_EQ(std::string(record.szTip), std::string(63, 'x'));
    mSysTray::SetTrayTip(record, "short");  // a shorter tip leaves nothing of the longer one
    EXPECT_EQ(std::string(record.szTip), "short");
    EXPECT_EQ(record.szTip[63], ' ');
}

TEST(TrayRecord, OnlyButtonMessagesRestore) {
    for (std::uint32_t message = 500; message < 530; ++message)
        EXPECT_EQ(mSysTray::RestoresWindow(message), message >= 513 && message <= 519) << message;
}

}  // namespace
}  // namespace corvane::ui
