// The tray service against a real XEmbed system tray (trayer on the X display).
#include "xembed_host.h"

namespace corvane::platform::testing {
namespace {

using XEmbedTray = TrayScenario<XEmbedHost>;

TEST_F(XEmbedTray, AddEmbedsTheIconInTheTrayAndDeleteRemovesIt) {
    CORVANE_TRAY_SCENARIO_START();
    AddShowsTheIconAndDeleteRemovesIt();
}

TEST_F(XEmbedTray, ModifyChangesTheTipAndPictureOnScreen) {
    CORVANE_TRAY_SCENARIO_START();
    ModifyChangesTheTipAndPictureTheHostShows();
}

TEST_F(XEmbedTray, ButtonPressesOnTheIconReachTheOwner) {
    CORVANE_TRAY_SCENARIO_START();
    ClicksReachTheOwnerAsMouseMessages();

    // A double click: the first click, then the double click itself.
    received_.clear();
    ASSERT_TRUE(host_->DoubleClick());
    EXPECT_TRUE(
        WaitFor([&] { return !received_.empty() && received_.back() == Callback(WM_MOUSEMOVE, WM_LBUTTONDBLCLK); },
                std::chrono::seconds(5)));
    ASSERT_GE(received_.size(), 3u);
    EXPECT_EQ(received_[0], Callback(WM_MOUSEMOVE, WM_LBUTTONDOWN));
    EXPECT_EQ(received_[1], Callback(WM_MOUSEMOVE, WM_LBUTTONUP));
    for (const auto& [message, mouseMessage] : received_) {
        EXPECT_EQ(message, WM_MOUSEMOVE);
        EXPECT_TRUE(mouseMessage >= WM_LBUTTONDOWN && mouseMessage <= WM_LBUTTONDBLCLK) << mouseMessage;
    }
}

}  // namespace
}  // namespace corvane::platform::testing

namespace corvane::platform::testing {
namespace {

using XEmbedTrayStartingLater = TrayScenario<LateXEmbedHost>;

// At login the program may start before the panel. The add reports that there is no tray, yet the icon
// is kept and appears, with its current tip and picture, once a tray starts; and it works from then on.
TEST_F(XEmbedTrayStartingLater, AnIconAddedBeforeTheTrayAppearsWhenTheTrayStarts) {
    CORVANE_TRAY_SCENARIO_START();
    const auto& first = FirstPicture();
    const auto& second = SecondPicture();
    EXPECT_FALSE(TrayHostAvailable());
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, Record(handle_, kAllFields, first.handle, "Corvane - 0 Attempts blocked")));
    EXPECT_TRUE(QueryTrayIcon(handle_, 1).exists);
    ASSERT_TRUE(
        Shell_NotifyIconA(NIM_MODIFY, Record(handle_, kAllFields, second.handle, "Corvane - 3 Attempts blocked")));

    ASSERT_TRUE(host_->StartTray()) << "trayer did not start on the test's own display";
    ASSERT_TRUE(host_->WaitShown()) << host_->Describe();
    EXPECT_TRUE(TrayHostAvailable());
    EXPECT_TRUE(host_->WaitForPicture(second)) << host_->Describe();
    EXPECT_TRUE(host_->WaitForTip("Corvane - 3 Attempts blocked")) << host_->Describe();

    ASSERT_TRUE(host_->Click(Button::Left)) << host_->Describe();
    EXPECT_TRUE(WaitFor([&] { return received_.size() >= 2; }, std::chrono::seconds(5)));
    EXPECT_EQ(received_, (std::vector<Callback>{{WM_MOUSEMOVE, WM_LBUTTONDOWN}, {WM_MOUSEMOVE, WM_LBUTTONUP}}));

    ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, Record(handle_, 0, 0, "")));
    EXPECT_TRUE(host_->WaitGone()) << host_->Describe();
}

}  // namespace
}  // namespace corvane::platform::testing
