#pragma once
// The test's view of a StatusNotifierItem host: a stand-in panel (fake_status_notifier_host) that owns the
// watcher name on a private session bus. The icon is an item that registered with it; its tip and picture
// are what the panel read from the item; clicks are the panel's Activate, ContextMenu and SecondaryActivate.
#include <QStringList>

#include <optional>
#include <string>

#include "tray_scenario.h"

namespace corvane::platform::testing {

class StatusNotifierHostView {
public:
    static constexpr TrayHostKind kKind = TrayHostKind::StatusNotifier;
    static constexpr bool kHostAtStart = true;

    // A reachable display (Qt's tray needs the X platform), a private session bus and the stand-in panel on
    // it, ready before Qt looks for a tray.
    static std::string PrepareDesktop();

    bool WaitShown();
    bool WaitGone();
    int Shown();
    bool WaitForTip(const std::string& tip);
    bool WaitForPicture(const TestPicture& picture);
    bool Click(Button button);
    std::string Describe();

    // Ends the panel and starts a fresh one, as when a desktop's panel crashes and comes back; whether the
    // new one runs.
    bool RestartPanel();

    // The item the panel shows for this process, if exactly one.
    std::optional<QString> Item();

private:
    std::optional<QStringList> Items();  // nothing when the panel does not answer

    std::string lastTip_;
    std::optional<QColor> lastUpper_;
    std::optional<QColor> lastLower_;
    int lastWidth_ = 0;
    int lastHeight_ = 0;
};

}  // namespace corvane::platform::testing
