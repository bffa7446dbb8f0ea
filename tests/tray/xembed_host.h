#pragma once
// The test's view of an XEmbed system tray (trayer under Xvfb in the test script): the icon is a window of
// this process that the tray has taken in; its picture is what the screen shows there; its tip is the one
// that appears when the pointer rests on it; clicks are real button presses on it (XTest).
#include <string>

#include "tray_scenario.h"
#include "x_display.h"

namespace corvane::platform::testing {

class XEmbedHost {
public:
    static constexpr TrayHostKind kKind = TrayHostKind::XEmbed;
    static constexpr bool kHostAtStart = true;

    // A reachable display with XTest and an XEmbed tray, and a private session bus without any
    // StatusNotifierItem host, so that Qt takes the XEmbed tray.
    static std::string PrepareDesktop();

    bool WaitShown();
    bool WaitGone();
    int Shown();
    bool WaitForTip(const std::string& tip);
    bool WaitForPicture(const TestPicture& picture);
    bool Click(Button button);
    // Two left clicks in quick succession.
    bool DoubleClick();
    std::string Describe();

protected:
    std::optional<ScreenRect> IconPlace();
    bool RestPointerAway();

    std::string lastTip_;
    std::optional<QColor> lastUpper_;
    std::optional<QColor> lastLower_;
};

// An X display of the test's own (Xvfb) on which the XEmbed tray (trayer) starts only when the test says,
// as when the program starts at login before the desktop's panel.
class LateXEmbedHost : public XEmbedHost {
public:
    static constexpr TrayHostKind kKind = TrayHostKind::XEmbedStartingLater;
    static constexpr bool kHostAtStart = false;

    // Starts the display, points DISPLAY at it, and starts a private session bus.
    static std::string PrepareDesktop();

    // Starts the tray on that display and waits until it owns the tray selection; false when it did not.
    bool StartTray();
};

}  // namespace corvane::platform::testing
