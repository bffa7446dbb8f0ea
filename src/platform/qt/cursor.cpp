#include "platform/cursor.h"

#include <QApplication>
#include <QCursor>
#include <QWidget>
#include <utility>

namespace corvane::platform {
namespace {

class SystemCursor final : public CursorProvider {
public:
    bool CursorPos(Point& screen) override {
        if (QGuiApplication::instance() == nullptr) return false;
        const QPoint pos = QCursor::pos();
        screen = Point{pos.x(), pos.y()};
        return true;
    }
    WindowHandle WindowAt(Point screen) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return 0;
        return HandleOf(QApplication::widgetAt(QPoint(screen.x, screen.y)));
    }
    bool PositionIsGlobal() override {
        // "wayland", "wayland-egl", …: every Qt platform of a Wayland client.
        return QGuiApplication::instance() == nullptr ||
               !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    }
};

std::shared_ptr<CursorProvider>& Current() {
    static std::shared_ptr<CursorProvider> current = std::make_shared<SystemCursor>();
    return current;
}

}  // namespace

std::shared_ptr<CursorProvider> SetCursorProvider(std::shared_ptr<CursorProvider> provider) {
    if (!provider) provider = std::make_shared<SystemCursor>();
    return std::exchange(Current(), std::move(provider));
}

bool GetCursorPos(Point& screen) {
    // Hold the provider for the call, so replacing it inside the call cannot pull it away.
    const std::shared_ptr<CursorProvider> provider = Current();
    return provider->CursorPos(screen);
}

WindowHandle WindowFromPoint(Point screen) {
    const std::shared_ptr<CursorProvider> provider = Current();
    return provider->WindowAt(screen);
}

bool CursorPositionIsGlobal() {
    const std::shared_ptr<CursorProvider> provider = Current();
    return provider->PositionIsGlobal();
}

bool ScreenToClient(WindowHandle window, Point& point) {
    QWidget* widget = WindowOf(window);
    if (widget == nullptr) return false;
    const QPoint client = widget->mapFromGlobal(QPoint(point.x, point.y));
    point = Point{client.x(), client.y()};
    return true;
}

}  // namespace corvane::platform
