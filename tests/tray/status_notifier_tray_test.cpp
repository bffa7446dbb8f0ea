// The tray service against a StatusNotifierItem host on the session bus (a stand-in panel).
#include "status_notifier_host_view.h"

namespace corvane::platform::testing {
namespace {

using StatusNotifierTray = TrayScenario<StatusNotifierHostView>;

TEST_F(StatusNotifierTray, AddRegistersAnItemWithTheHostAndDeleteRemovesIt) {
    CORVANE_TRAY_SCENARIO_START();
    AddShowsTheIconAndDeleteRemovesIt();
}

TEST_F(StatusNotifierTray, ModifyChangesTheTipAndPictureTheHostReads) {
    CORVANE_TRAY_SCENARIO_START();
    ModifyChangesTheTipAndPictureTheHostShows();
}

TEST_F(StatusNotifierTray, ActivationsFromTheHostReachTheOwner) {
    CORVANE_TRAY_SCENARIO_START();
    ClicksReachTheOwnerAsMouseMessages();
}

// A panel that restarts learns of the icon again, with its current tip and picture, and its clicks arrive.
TEST_F(StatusNotifierTray, ARestartedHostShowsTheIconAgain) {
    CORVANE_TRAY_SCENARIO_START();
    const auto& second = SecondPicture();
    ASSERT_TRUE(
        Shell_NotifyIconA(NIM_ADD, Record(handle_, kAllFields, FirstPicture().handle, "Corvane - 0 Attempts blocked")));
    ASSERT_TRUE(host_->WaitShown()) << host_->Describe();
    ASSERT_TRUE(
        Shell_NotifyIconA(NIM_MODIFY, Record(handle_, kAllFields, second.handle, "Corvane - 9 Attempts blocked")));

    ASSERT_TRUE(host_->RestartPanel());
    ASSERT_TRUE(host_->WaitShown()) << host_->Describe();
    EXPECT_TRUE(host_->WaitForPicture(second)) << host_->Describe();
    EXPECT_TRUE(host_->WaitForTip("Corvane - 9 Attempts blocked")) << host_->Describe();

    ASSERT_TRUE(host_->Click(Button::Left)) << host_->Describe();
    EXPECT_TRUE(WaitFor([&] { return received_.size() >= 2; }, std::chrono::seconds(5)));
    EXPECT_EQ(received_, (std::vector<Callback>{{WM_MOUSEMOVE, WM_LBUTTONDOWN}, {WM_MOUSEMOVE, WM_LBUTTONUP}}));
}

}  // namespace
}  // namespace corvane::platform::testing
