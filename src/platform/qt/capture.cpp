#include "platform/capture.h"

#include <QWidget>

namespace corvane::platform {
namespace {

WindowHandle& Holder() {
    static WindowHandle holder = 0;
    return holder;
}

}  // namespace

WindowHandle SetCapture(WindowHandle window) {
    const WindowHandle previous = GetCapture();
    QWidget* widget = WindowOf(window);
    if (widget == nullptr) return previous;
    if (QWidget* old = WindowOf(previous); old != nullptr && old != widget) old->releaseMouse();
    // Only a visible window can grab the pointer; a hidden one still counts as the capture holder.
    if (widget->isVisible()) widget->grabMouse();
    Holder() = window;
    return previous;
}

bool ReleaseCapture() {
    QWidget* widget = WindowOf(Holder());
    Holder() = 0;
    if (widget == nullptr) return false;
    widget->releaseMouse();
    return true;
}

WindowHandle GetCapture() {
    if (WindowOf(Holder()) == nullptr) Holder() = 0;
    return Holder();
}

}  // namespace corvane::platform
