#pragma once
// The end-to-end scenarios of the tray service, run against a real tray host. `Host` is the test's view of
// one kind of host (XEmbed tray, StatusNotifierItem host): what the host shows and the clicks it sends.
//
// A Host offers:
//   static constexpr TrayHostKind kKind;
//   static constexpr bool kHostAtStart;   // whether the host runs before the first icon is added
//   static std::string PrepareDesktop();  // puts the host's desktop in place before Qt starts; "" or why not
//   bool WaitShown(); bool WaitGone();     // the host shows an icon of this process / no longer does
//   int Shown();                           // how many icons of this process it shows
//   bool WaitForTip(const std::string&); bool WaitForPicture(const TestPicture&);
//   bool Click(Button);                    // a click on the icon, made at the host
//   std::string Describe();                // what it saw, for failure messages
#include <gtest/gtest.h>

#include <QWidget>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "tray_test_support.h"

namespace corvane::platform::testing {

enum class Button { Left, Right, Middle };

using Callback = std::pair<std::uint32_t, std::uint32_t>;  // (callback message, mouse message)

template <class Host>
class TrayScenario : public ::testing::Test {
protected:
    static constexpr std::uint32_t kAllFields = NIF_MESSAGE | NIF_ICON | NIF_TIP;

    void SetUp() override {
        if (!ClaimProcess(Host::kKind)) {
            ranElsewhere_ = true;
            const auto outcome = RunCurrentTestInChild();
            if (outcome.skipped) GTEST_SKIP() << outcome.detail;
            ASSERT_TRUE(outcome.passed) << "in its own process: " << outcome.detail;
            return;
        }
        const std::string missing = Host::PrepareDesktop();
        if (!missing.empty()) CORVANE_TRAY_UNAVAILABLE(missing);
        App();
        if (Host::kHostAtStart && !TrayHostAvailable())
            CORVANE_TRAY_UNAVAILABLE("Qt finds no tray host on this desktop");
        ASSERT_NE(FirstPicture().handle, 0u);
        ASSERT_NE(SecondPicture().handle, 0u);
        owner_ = std::make_unique<QWidget>();
        handle_ = HandleOf(owner_.get());
        SetTrayMessageHandler(handle_, [this](std::uint32_t message, std::uint32_t mouseMessage) {
            received_.emplace_back(message, mouseMessage);
        });
        host_.emplace();
    }

    void TearDown() override {
        if (handle_ == 0) return;
        // The icon may be gone already; then there is nothing to remove.
        static_cast<void>(Shell_NotifyIconA(NIM_DELETE, Record(handle_, 0, 0, "")));
        SetTrayMessageHandler(handle_, nullptr);
    }

    bool RanElsewhere() const { return ranElsewhere_; }

    // NIM_ADD shows the icon with its picture and tip at the host; NIM_DELETE takes it away again; a new
    // NIM_ADD brings it back.
    void AddShowsTheIconAndDeleteRemovesIt() {
        const auto& first = FirstPicture();
        ASSERT_TRUE(
            Shell_NotifyIconA(NIM_ADD, Record(handle_, kAllFields, first.handle, "Corvane - 0 Attempts blocked")));
        ASSERT_TRUE(host_->WaitShown()) << host_->Describe();
        EXPECT_EQ(host_->Shown(), 1) << host_->Describe();
        EXPECT_TRUE(host_->WaitForPicture(first)) << host_->Describe();
        EXPECT_TRUE(host_->WaitForTip("Corvane - 0 Attempts blocked")) << host_->Describe();
        // Showing the icon and its tip is no click: the owner hears nothing.
        EXPECT_TRUE(received_.empty());

        ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, Record(handle_, 0, 0, "")));
        EXPECT_TRUE(host_->WaitGone()) << host_->Describe();
        EXPECT_FALSE(QueryTrayIcon(handle_, 1).exists);

        // The same icon can be added again, and the host shows it afresh.
        const auto& second = SecondPicture();
        ASSERT_TRUE(
            Shell_NotifyIconA(NIM_ADD, Record(handle_, kAllFields, second.handle, "Corvane - 5 Attempts blocked")));
        ASSERT_TRUE(host_->WaitShown()) << host_->Describe();
        EXPECT_EQ(host_->Shown(), 1) << host_->Describe();
        EXPECT_TRUE(host_->WaitForPicture(second)) << host_->Describe();
        EXPECT_TRUE(host_->WaitForTip("Corvane - 5 Attempts blocked")) << host_->Describe();
        ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, Record(handle_, 0, 0, "")));
        EXPECT_TRUE(host_->WaitGone()) << host_->Describe();
    }

    // NIM_MODIFY changes what the host shows of the same icon, field by field as the flags say: a block
    // rewrites the tip, the protection switch only the picture.
    void ModifyChangesTheTipAndPictureTheHostShows() {
        const auto& first = FirstPicture();
        const auto& second = SecondPicture();
        ASSERT_TRUE(
            Shell_NotifyIconA(NIM_ADD, Record(handle_, kAllFields, first.handle, "Corvane - 0 Attempts blocked")));
        ASSERT_TRUE(host_->WaitShown()) << host_->Describe();
        ASSERT_TRUE(host_->WaitForPicture(first)) << host_->Describe();

        ASSERT_TRUE(Shell_NotifyIconA(
            NIM_MODIFY, Record(handle_, kAllFields, first.handle, "Corvane - 2147483647 Attempts blocked")));
        EXPECT_TRUE(host_->WaitForTip("Corvane - 2147483647 Attempts blocked")) << host_->Describe();
        EXPECT_TRUE(host_->WaitForPicture(first)) << host_->Describe();

        ASSERT_TRUE(Shell_NotifyIconA(NIM_MODIFY, Record(handle_, NIF_ICON, second.handle, "not a tip to show")));
        EXPECT_TRUE(host_->WaitForPicture(second)) << host_->Describe();
        EXPECT_TRUE(host_->WaitForTip("Corvane - 2147483647 Attempts blocked")) << host_->Describe();
        EXPECT_EQ(host_->Shown(), 1) << "a modify must change the icon, not add another; " << host_->Describe();
    }

    // A click the host reports reaches the owner's handler as the callback message with the mouse messages
    // of that click.
    void ClicksReachTheOwnerAsMouseMessages() {
        ASSERT_TRUE(Shell_NotifyIconA(
            NIM_ADD, Record(handle_, kAllFields, FirstPicture().handle, "Corvane - 0 Attempts blocked")));
        ASSERT_TRUE(host_->WaitShown()) << host_->Describe();
        const std::vector<std::pair<Button, std::vector<std::uint32_t>>> clicks = {
            {Button::Left, {WM_LBUTTONDOWN, WM_LBUTTONUP}},
            {Button::Right, {WM_RBUTTONDOWN, WM_RBUTTONUP}},
            {Button::Middle, {WM_MBUTTONDOWN}},
        };
        for (const auto& [button, mouseMessages] : clicks) {
            received_.clear();
            std::vector<Callback> expected;
            for (auto mouseMessage : mouseMessages) expected.emplace_back(WM_MOUSEMOVE, mouseMessage);
            ASSERT_TRUE(host_->Click(button)) << host_->Describe();
            EXPECT_TRUE(WaitFor([&] { return received_.size() >= expected.size(); }, std::chrono::seconds(5)));
            // Anything more would arrive at once; give it a moment to show up.
            WaitFor([] { return false; }, std::chrono::milliseconds(150));
            EXPECT_EQ(received_, expected) << "button " << static_cast<int>(button);
        }
    }

    std::unique_ptr<QWidget> owner_;
    WindowHandle handle_ = 0;
    std::vector<Callback> received_;
    std::optional<Host> host_;

private:
    bool ranElsewhere_ = false;
};

// Each test body starts here: when the test ran in a process of its own, that run was the test.
#define CORVANE_TRAY_SCENARIO_START() \
    do {                              \
        if (RanElsewhere()) return;   \
    } while (false)

}  // namespace corvane::platform::testing
