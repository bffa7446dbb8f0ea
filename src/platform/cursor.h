#pragma once
// The mouse pointer as the hover tracking sees it: its screen position, the window under a screen point,
// and screen-to-client conversion. The first two come from a replaceable provider so that tests can
// steer the pointer without a real display; the default provider asks the window system.
#include <memory>

#include "platform/window.h"

namespace corvane::platform {

struct Point {
    int x = 0;
    int y = 0;
    bool operator==(const Point&) const = default;
};

class CursorProvider {
public:
    virtual ~CursorProvider() = default;
    // The pointer's position in screen pixels; false when it cannot be read.
    virtual bool CursorPos(Point& screen) = 0;
    // The innermost window at a screen point; 0 when there is none.
    virtual WindowHandle WindowAt(Point screen) = 0;
    // Whether CursorPos follows the pointer over the whole screen. A Wayland client learns where the
    // pointer is only while it is over one of its own surfaces (elsewhere CursorPos keeps the last place
    // it was seen): there this is false, and the pointer's leaving is known from leave events instead.
    virtual bool PositionIsGlobal() { return true; }
};

// Installs a provider (nullptr restores the window system's); returns the one it replaces.
std::shared_ptr<CursorProvider> SetCursorProvider(std::shared_ptr<CursorProvider> provider);

[[nodiscard]] bool GetCursorPos(Point& screen);
WindowHandle WindowFromPoint(Point screen);
// The current provider's PositionIsGlobal.
bool CursorPositionIsGlobal();

// Converts a screen point to the window's client coordinates in place; false when the window is gone.
[[nodiscard]] bool ScreenToClient(WindowHandle window, Point& point);

}  // namespace corvane::platform
