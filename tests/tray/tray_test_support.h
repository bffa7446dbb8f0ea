#pragma once
// What the tray host tests share: the one Qt application of the process, the rule that a group of tests
// owns a process, the test pictures and records, and waiting while Qt runs.
//
// Qt chooses its tray backend once per process, from the desktop it finds when the first tray icon is
// made: a StatusNotifierItem host on the session bus, else an XEmbed tray on the X display. So each host
// group claims the process it runs in; a test of the other group then runs itself in a fresh process of
// this binary. (Under ctest every test has a process of its own anyway.)
#include <QApplication>
#include <QColor>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/icons.h"
#include "platform/tray.h"
#include "platform/window.h"

namespace corvane::platform::testing {

enum class TrayHostKind { XEmbed, XEmbedStartingLater, StatusNotifier };

// Set (CORVANE_REQUIRE_TRAY) where the test run promises a display and tray hosts: a missing one fails.
bool TrayRequired();

// Passes a skip reason to the parent process when this test runs as its child.
void NoteSkipForParent(const std::string& reason);

// Skips the current test, or fails it where tray hosts are promised.
#define CORVANE_TRAY_UNAVAILABLE(reason)                                  \
    do {                                                                  \
        const std::string why_ = (reason);                                \
        if (::corvane::platform::testing::TrayRequired()) FAIL() << why_; \
        ::corvane::platform::testing::NoteSkipForParent(why_);            \
        GTEST_SKIP() << why_;                                             \
    } while (false)

// True when this process serves `kind`: it did not serve the other kind before.
bool ClaimProcess(TrayHostKind kind);

struct ChildOutcome {
    bool passed = false;
    bool skipped = false;
    std::string detail;  // the skip reason, or how the child ended
};
// Runs the current test alone in a fresh process of this binary and reports how it went.
ChildOutcome RunCurrentTestInChild();

// The process's Qt application on the X display, made on first use. Make it only once the group's desktop
// is in place.
QApplication& App();
// Ends it (main() does, after the tests), so Qt tears down its caches before the program's static objects.
void EndApp();

// A test picture: a 32x32 icon whose upper half and lower half have different colours, so a host that
// shows it upside down, in the wrong channel order or not at all is told apart.
struct TestPicture {
    QColor upper;
    QColor lower;
    IconHandle handle = 0;
};
const TestPicture& FirstPicture();
const TestPicture& SecondPicture();

// Whether two colours agree within `tolerance` on each channel (scaling blends a little at edges).
bool Near(const QColor& a, const QColor& b, int tolerance = 48);
std::string Describe(const QColor& colour);

// The tray record the program sends: owner, icon id 1, callback message 512, the flags given.
NotifyIconData Record(WindowHandle owner, std::uint32_t flags, IconHandle icon, std::string_view tip);

// Runs Qt's event loop until `done` holds or `timeout` passes; whether it held.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

}  // namespace corvane::platform::testing
