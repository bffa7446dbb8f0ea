// Hover tracking through the steerable pointer and the hover timer, and option groups kept in the
// container's window properties.
#include <QCoreApplication>
#include <QEvent>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "button_test_support.h"
#include "platform/timers.h"
#include "platform/window_props.h"
#include "widgets/buttons/mod_zq_timer.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons {
namespace {

using ::corvane::buttons::testing::CursorGuard;
using ::corvane::buttons::testing::EventRecorder;
using Events = std::vector<std::string>;

class ButtonHover : public testing::PlacedButtonTest {
protected:
    void Tick() { modZqTimer::timer_proc(button->hwnd(), platform::WM_TIMER, zqButtons_H::kHoverTimerId, 0); }

    CursorGuard pointer;
};

TEST_F(ButtonHover, EnterOnceThenLeaveAtTheNextTick) {
    pointer.cursor().under = button->hwnd();
    button->HostMouseMove(0, 0, 3, 3);
    button->HostMouseMove(0, 0, 4, 3);
    button->HostMouseMove(0, 0, 5, 3);
    EXPECT_EQ(recorder->Take(), (Events{"MouseOnButton True", "Redraw", "MouseMove", "MouseMove", "MouseMove"}));
    EXPECT_TRUE(button->PointerOver());
    EXPECT_NE(button->StateFlags() & zqButtons_H::kHotLook, 0);
    EXPECT_EQ(platform::GetPropA(button->hwnd(), "zq_ClassID"), static_cast<platform::PropValue>(button->hwnd()));
    EXPECT_EQ(platform::GetPropA(button->hwnd(), "zq_TimerID"), 237);
    EXPECT_TRUE(platform::TimerActive(button->hwnd(), 237));
    EXPECT_EQ(platform::TimerInterval(button->hwnd(), 237), std::chrono::milliseconds(50));

    Tick();  // still over the button: nothing
    EXPECT_TRUE(recorder->events.empty());

    // The real 50 ms timer notices that the pointer went elsewhere.
    pointer.cursor().under = 0;
    ASSERT_TRUE(testing::WaitUntil([&] { return !button->PointerOver(); }));
    EXPECT_EQ(recorder->Take(), (Events{"MouseOnButton False", "Redraw"}));
    EXPECT_FALSE(platform::TimerActive(button->hwnd(), 237));
    EXPECT_EQ(platform::TimerInterval(button->hwnd(), 237), std::nullopt);
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kHotLook, 0);
    // The properties stay after leaving.
    EXPECT_EQ(platform::GetPropA(button->hwnd(), "zq_TimerID"), 237);
}

TEST_F(ButtonHover, AnotherWindowOnTopCountsAsLeft) {
    QWidget cover(form.get());
    pointer.cursor().under = button->hwnd();
    button->HostMouseMove(0, 0, 3, 3);
    pointer.cursor().under = platform::HandleOf(&cover);
    recorder->Clear();
    Tick();
    EXPECT_EQ(recorder->Take(), (Events{"MouseOnButton False", "Redraw"}));
    // A move while covered does not enter.
    button->HostMouseMove(0, 0, 3, 3);
    EXPECT_EQ(recorder->Take(), (Events{"MouseMove"}));
}

TEST_F(ButtonHover, PressedFaceFollowsThePointerWhileTheButtonIsHeld) {
    pointer.cursor().under = button->hwnd();
    button->HostMouseMove(0, 0, 3, 3);
    button->HostMouseDown(1, 0, 3, 3);
    EXPECT_TRUE(button->PressedFlag());
    pointer.cursor().under = 0;  // dragged off while held
    Tick();
    EXPECT_FALSE(button->PressedFlag());
    EXPECT_NE(button->StateFlags() & zqButtons_H::kButtonDown, 0);
    pointer.cursor().under = button->hwnd();  // back on, left button still held
    button->HostMouseMove(1, 0, 3, 3);
    EXPECT_TRUE(button->PressedFlag());
    pointer.cursor().under = 0;
    Tick();
    button->HostMouseUp(1, 0, 200, 3);  // released elsewhere
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kButtonDown, 0);
    EXPECT_FALSE(button->PressedFlag());
}

TEST_F(ButtonHover, UnreadablePointerEndsTheCheckButMoveIsRaised) {
    pointer.cursor().under = button->hwnd();
    pointer.cursor().readable = false;
    button->HostMouseMove(0, 0, 3, 3);
    EXPECT_EQ(recorder->Take(), (Events{"MouseMove"}));
    EXPECT_FALSE(button->PointerOver());
}

TEST_F(ButtonHover, AnEndedButtonIsNeverReachedByItsTimer) {
    pointer.cursor().under = button->hwnd();
    button->HostMouseMove(0, 0, 3, 3);
    const platform::WindowHandle gone = button->hwnd();
    ASSERT_TRUE(platform::TimerActive(gone, 237));
    recorder.reset();
    button.reset();
    EXPECT_FALSE(platform::TimerActive(gone, 237));
    EXPECT_EQ(platform::GetPropA(gone, "zq_ClassID"), 0);
    modZqTimer::timer_proc(gone, platform::WM_TIMER, 237, 0);  // a stale tick finds nothing
    QCoreApplication::processEvents();
}

// Where the window system gives no screen position (Wayland), the position read stays where the pointer
// was last seen over the program's own window: here the stale position still names the button. The
// moves tell that the pointer is on the button, the leave event that it went.
class ButtonHoverWithoutAScreenPosition : public ButtonHover {
protected:
    void SetUp() override {
        ButtonHover::SetUp();
        pointer.cursor().global = false;
        pointer.cursor().under = button->hwnd();  // stale: never changes below
    }
    void Leave() {
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(button.get(), &leave);
    }
};

TEST_F(ButtonHoverWithoutAScreenPosition, TheLeaveEventEndsTheHoverTheStalePositionWouldKeep) {
    button->HostMouseMove(0, 0, 3, 3);
    button->HostMouseMove(0, 0, 4, 3);
    EXPECT_EQ(recorder->Take(), (Events{"MouseOnButton True", "Redraw", "MouseMove", "MouseMove"}));
    ASSERT_TRUE(platform::TimerActive(button->hwnd(), 237));
    Tick();  // still on the button
    EXPECT_TRUE(recorder->events.empty());
    EXPECT_TRUE(button->PointerOver());

    Leave();
    EXPECT_EQ(recorder->Take(), (Events{"MouseOnButton False", "Redraw"}));
    EXPECT_FALSE(button->PointerOver());
    EXPECT_EQ(button->StateFlags() & zqButtons_H::kHotLook, 0);
    EXPECT_FALSE(platform::TimerActive(button->hwnd(), 237));
    Leave();  // a second leave finds nothing to end
    EXPECT_TRUE(recorder->events.empty());

    // Back on the button: the hover starts again with the next move.
    button->HostMouseMove(0, 0, 5, 5);
    EXPECT_EQ(recorder->Take(), (Events{"MouseOnButton True", "Redraw", "MouseMove"}));
}

TEST_F(ButtonHoverWithoutAScreenPosition, DraggedOffWhileHeldThePressedFaceGoesAtTheNextTick) {
    button->HostMouseMove(0, 0, 3, 3);
    button->HostMouseDown(1, 0, 3, 3);
    ASSERT_TRUE(button->PressedFlag());
    // Held, the moves keep coming from outside the button (no leave event while a button is held).
    button->HostMouseMove(1, 0, 200, 3);
    EXPECT_TRUE(button->PointerOver());
    Tick();
    EXPECT_FALSE(button->PointerOver());
    EXPECT_FALSE(button->PressedFlag());
    EXPECT_NE(button->StateFlags() & zqButtons_H::kButtonDown, 0);
    button->HostMouseMove(1, 0, 3, 3);  // back on, still held
    EXPECT_TRUE(button->PressedFlag());
    button->HostMouseMove(1, 0, 3, -40);
    Tick();
    EXPECT_FALSE(button->PressedFlag());
}

// With a screen position the timer alone decides, as it always has: a leave event is not taken as the
// pointer's going (the pointer may still be over the button's window, e.g. after a popup closed).
TEST_F(ButtonHover, WithAScreenPositionALeaveEventChangesNothing) {
    pointer.cursor().under = button->hwnd();
    button->HostMouseMove(0, 0, 3, 3);
    recorder->Clear();
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(button.get(), &leave);
    EXPECT_TRUE(recorder->events.empty());
    EXPECT_TRUE(button->PointerOver());
    EXPECT_TRUE(platform::TimerActive(button->hwnd(), 237));
    pointer.cursor().under = 0;
    Tick();
    EXPECT_EQ(recorder->Take(), (Events{"MouseOnButton False", "Redraw"}));
}

class OptionGroups : public ::testing::Test {
protected:
    void SetUp() override {
        testing::App();
        form = std::make_unique<QWidget>();
        frame = std::make_unique<QWidget>(form.get());
        for (auto& b : group) b = Option(form.get());
    }
    std::unique_ptr<zqButtons_H> Option(QWidget* container) {
        auto b = std::make_unique<zqButtons_H>(container);
        b->InitNewInstance();
        b->SetMode(2);
        return b;
    }
    platform::WindowHandle Container() const { return platform::HandleOf(form.get()); }
    platform::PropValue Slot(int n) const { return platform::GetPropA(Container(), "zq_Obj" + std::to_string(n)); }
    platform::PropValue Count() const { return platform::GetPropA(Container(), "zq_OptCount"); }
    static platform::PropValue Id(const std::unique_ptr<zqButtons_H>& b) {
        return static_cast<platform::PropValue>(b->hwnd());
    }

    std::unique_ptr<QWidget> form;
    std::unique_ptr<QWidget> frame;
    std::unique_ptr<zqButtons_H> group[3];  // A, B, C
};

TEST_F(OptionGroups, SelectingOneClearsTheOthers) {
    auto& [a, b, c] = group;
    EXPECT_EQ(Count(), 3);
    EXPECT_EQ(Slot(1), Id(a));
    EXPECT_EQ(Slot(2), Id(b));
    EXPECT_EQ(Slot(3), Id(c));

    a->SetValue(true);
    c->SetValue(true);
    EXPECT_FALSE(a->Value());
    b->SetValue(true);
    EXPECT_FALSE(a->Value());
    EXPECT_TRUE(b->Value());
    EXPECT_FALSE(c->Value());

    // By a click.
    EventRecorder recorder(*c, false);
    c->HostMouseDown(1, 0, 1, 1);
    c->HostMouseUp(1, 0, 1, 1);
    c->HostClick();
    EXPECT_TRUE(c->Value());
    EXPECT_FALSE(b->Value());
    EXPECT_EQ(recorder.Take(), (Events{"MouseDown 1", "MouseUp 1", "Changed Value", "Click"}));
}

TEST_F(OptionGroups, LeavingCompactsTheSlots) {
    auto& [a, b, c] = group;
    b->SetMode(0);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(Slot(1), Id(a));
    EXPECT_EQ(Slot(2), Id(c));
    EXPECT_EQ(Slot(3), 0);
    b->SetMode(0);  // the same mode again changes no group
    EXPECT_EQ(Count(), 2);
    b->SetValue(true);  // a command button takes no value
    c->SetValue(true);
    EXPECT_FALSE(b->Value());

    // While members remain the properties are there; the last one leaving removes the count and the
    // slot themselves (not just sets them to 0).
    const auto names = [&] {
        auto list = platform::PropNames(Container());
        std::sort(list.begin(), list.end());
        return list;
    };
    a->SetMode(1);
    EXPECT_EQ(names(), (std::vector<std::string>{"zq_obj1", "zq_optcount"}));
    c->SetMode(0);
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(Slot(1), 0);
    EXPECT_TRUE(names().empty());
    // A property holding 0 is still listed: the check above tells a removed one from a zero.
    ASSERT_TRUE(platform::SetPropA(Container(), "zq_OptCount", 0));
    EXPECT_EQ(names(), (std::vector<std::string>{"zq_optcount"}));
}

TEST_F(OptionGroups, LeavingAGroupWithoutAnEntryChangesNothing) {
    auto& [a, b, c] = group;
    // Drop B's entry by hand: the group lists A and C only.
    ASSERT_TRUE(platform::SetPropA(Container(), "zq_Obj2", Id(c)));
    platform::RemovePropA(Container(), "zq_Obj3");
    ASSERT_TRUE(platform::SetPropA(Container(), "zq_OptCount", 2));
    b->SetMode(1);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(Slot(1), Id(a));
    EXPECT_EQ(Slot(2), Id(c));
}

TEST_F(OptionGroups, TwoContainersKeepTheirOwnGroups) {
    auto x = Option(frame.get());
    auto y = Option(frame.get());
    EXPECT_EQ(platform::GetPropA(platform::HandleOf(frame.get()), "zq_OptCount"), 2);
    EXPECT_EQ(Count(), 3);
    group[0]->SetValue(true);
    x->SetValue(true);
    EXPECT_TRUE(group[0]->Value());
    EXPECT_TRUE(x->Value());
    y->SetValue(true);
    EXPECT_FALSE(x->Value());
    EXPECT_TRUE(group[0]->Value());
}

TEST_F(OptionGroups, AnEndedButtonLeavesItsGroup) {
    auto& [a, b, c] = group;
    b->SetValue(true);
    b.reset();
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(Slot(1), Id(a));
    EXPECT_EQ(Slot(2), Id(c));
    EXPECT_EQ(Slot(3), 0);
    // The group goes on working with the members that are left.
    a->SetValue(true);
    c->SetValue(true);
    EXPECT_FALSE(a->Value());
    // Even a stale entry (a window that is gone) is never reached.
    {
        QWidget gone;
        ASSERT_TRUE(
            platform::SetPropA(Container(), "zq_Obj3", static_cast<platform::PropValue>(platform::HandleOf(&gone))));
        ASSERT_TRUE(platform::SetPropA(Container(), "zq_OptCount", 3));
    }
    a->SetValue(true);
    EXPECT_FALSE(c->Value());
}

TEST_F(OptionGroups, FocusSelectsOnlyInAnEmptyGroup) {
    auto& [a, b, c] = group;
    EventRecorder recorder(*b, false);
    b->HostGotFocus();
    EXPECT_TRUE(b->Value());
    EXPECT_EQ(recorder.Take(), (Events{"Changed Value", "Click"}));
    c->HostGotFocus();
    EXPECT_FALSE(c->Value());
    EXPECT_TRUE(b->Value());
    b->HostGotFocus();  // already selected: nothing
    EXPECT_TRUE(recorder.events.empty());
}

TEST_F(OptionGroups, LoadingJoinsAndASelectedLoadClearsTheOthers) {
    group[0]->SetValue(true);
    zqButtons_H loaded(form.get());
    ASSERT_TRUE(loaded.LoadInstanceData(QJsonObject{{"Mode", 2}, {"Value", true}}));
    EXPECT_EQ(Count(), 4);
    EXPECT_EQ(Slot(4), static_cast<platform::PropValue>(loaded.hwnd()));
    EXPECT_FALSE(group[0]->Value());
    EXPECT_TRUE(loaded.Value());
}

TEST_F(OptionGroups, ACountThatWouldOverflowRefusesToJoin) {
    ASSERT_TRUE(platform::SetPropA(Container(), "zq_OptCount", 32767));
    auto extra = Option(form.get());
    EXPECT_EQ(Count(), 32767);
    EXPECT_EQ(extra->Mode(), 2);
    EXPECT_EQ(Slot(32768), 0);
}

}  // namespace
}  // namespace corvane::buttons
