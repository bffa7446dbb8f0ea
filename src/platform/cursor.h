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
};

// Installs a provider (nullptr restores the window system's); returns the one it replaces.
std::shared_ptr<CursorProvider> SetCursorProvider(std::shared_ptr<CursorProvider> provider);

[[nodiscard]] bool GetCursorPos(Point& screen);
WindowHandle WindowFromPoint(Point screen);

// Converts a screen point to the window's client coordinates in place; false when the window is gone.
[[nodiscard]] bool ScreenToClient(WindowHandle window, Point& point);

}  // namespace corvane::platform
