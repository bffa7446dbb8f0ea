#pragma once
// Shared helpers of the button tests: an offscreen application, a recorder of the control's events,
// a steerable pointer and a message box catcher.
#include <gtest/gtest.h>
#include <QApplication>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "platform/cursor.h"
#include "platform/message_box.h"
#include "widgets/buttons/zq_buttons_h.h"

namespace corvane::buttons::testing {

// The application object, created once for the whole test program (offscreen platform).
QApplication& App();

// Records the events of one button as short texts ("MouseDown 1", "Click", "Redraw", ...).
class EventRecorder {
public:
    explicit EventRecorder(zqButtons_H& button, bool withRedraws = true);
    std::vector<std::string> events;
    void Clear() { events.clear(); }
    std::vector<std::string> Take() { return std::exchange(events, {}); }

private:
    // The connections end with the recorder.
    std::unique_ptr<QObject> context_ = std::make_unique<QObject>();
};

// A pointer the tests place: a screen position and the window under it. `global` false plays a window
// system that gives no screen position (Wayland), where the position read is whatever was seen last.
class FakeCursor final : public platform::CursorProvider {
public:
    platform::Point position{0, 0};
    platform::WindowHandle under = 0;
    bool readable = true;
    bool global = true;
    bool PositionIsGlobal() override { return global; }
    bool CursorPos(platform::Point& screen) override {
        screen = position;
        return readable;
    }
    platform::WindowHandle WindowAt(platform::Point) override { return under; }
};

// Installs a FakeCursor for the lifetime of the guard.
class CursorGuard {
public:
    CursorGuard();
    ~CursorGuard();
    FakeCursor& cursor() { return *owned_; }

private:
    std::shared_ptr<FakeCursor> owned_ = std::make_shared<FakeCursor>();
    std::shared_ptr<platform::CursorProvider> previous_;
};

// Catches every message box for the lifetime of the guard and answers OK.
class MessageBoxCatcher {
public:
    MessageBoxCatcher();
    ~MessageBoxCatcher();
    std::vector<platform::MessageBoxRequest> shown;

private:
    platform::MessageBoxInterceptor previous_;
};

// Runs the event loop until `done` holds or `limitMs` passes; returns whether it held.
bool WaitUntil(const std::function<bool()>& done, int limitMs = 3000);

// A new button, 80 x 24, on a form of its own, with its events recorded.
class PlacedButtonTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        form = std::make_unique<QWidget>();
        button = std::make_unique<zqButtons_H>(form.get());
        button->resize(80, 24);
        button->InitNewInstance();
        recorder = std::make_unique<EventRecorder>(*button);
    }

    std::unique_ptr<QWidget> form;
    std::unique_ptr<zqButtons_H> button;
    std::unique_ptr<EventRecorder> recorder;
};

}  // namespace corvane::buttons::testing
