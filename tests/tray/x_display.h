#pragma once
// The X display as the desktop sees it, through a connection of the test's own (xcb): who owns the XEmbed
// system tray, which windows of a process the tray holds, what the screen shows there, and the pointer and
// buttons of a user (XTest).
#include <xcb/xcb.h>

#include <QColor>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform::testing {

struct ScreenRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class XDisplay {
public:
    // Connects to $DISPLAY; nothing, with the reason in `error`, when there is no display.
    static std::unique_ptr<XDisplay> Open(std::string& error);

    // Whether the server offers XTest (input as a user would make it) and this program was built with it.
    bool HasXTest() const;

    // The window that owns the XEmbed system-tray selection of the screen (_NET_SYSTEM_TRAY_S<n>), 0 if none.
    xcb_window_t TrayOwner() const;

    // The windows of process `pid` (_NET_WM_PID) that the tray host has taken in: their parent belongs to
    // the X client that owns the tray selection.
    std::vector<xcb_window_t> WindowsInTray(int pid) const;

    bool Viewable(xcb_window_t window) const;
    std::optional<ScreenRect> PlaceOnScreen(xcb_window_t window) const;

    // The colour the screen shows at a point; nothing if it cannot be read.
    std::optional<QColor> ColourAt(int x, int y) const;

    // The pointer and buttons (1 left, 2 middle, 3 right), through XTest; false when the request failed.
    bool MovePointer(int x, int y) const;
    bool PressButton(int button) const;
    bool ReleaseButton(int button) const;

private:
    struct Disconnect {
        void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
    };

    XDisplay(xcb_connection_t* connection, xcb_screen_t* screen, int screenNumber)
        : connection_(connection), screen_(screen), screenNumber_(screenNumber) {}
    xcb_atom_t Atom(const std::string& name) const;
    std::optional<xcb_window_t> Parent(xcb_window_t window) const;
    std::vector<xcb_window_t> Children(xcb_window_t window) const;
    std::optional<std::uint32_t> Pid(xcb_window_t window) const;
    std::uint32_t Client(xcb_window_t window) const;
    bool FakeInput(std::uint8_t type, std::uint8_t detail, int x, int y) const;

    std::unique_ptr<xcb_connection_t, Disconnect> connection_;
    xcb_screen_t* screen_;
    int screenNumber_;
};

}  // namespace corvane::platform::testing
