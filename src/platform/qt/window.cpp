#include "platform/window.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QWidget>

namespace corvane::platform {
namespace {

// Everything here runs on the window thread, like the windows themselves.
struct HandleTable {
    QHash<WindowHandle, QPointer<QWidget>> byHandle;
    QHash<const QWidget*, WindowHandle> byWindow;
    WindowHandle next = 1;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

}  // namespace

WindowHandle HandleOf(QWidget* window) {
    if (window == nullptr) return 0;
    auto& table = Table();
    if (auto it = table.byWindow.constFind(window); it != table.byWindow.constEnd()) return it.value();
    const WindowHandle handle = table.next++;
    table.byHandle.insert(handle, QPointer<QWidget>(window));
    table.byWindow.insert(window, handle);
    // Forget the window when it goes, so a later window at the same address gets a new handle.
    const QWidget* key = window;
    QObject::connect(window, &QObject::destroyed, [handle, key] {
        auto& t = Table();
        t.byHandle.remove(handle);
        t.byWindow.remove(key);
    });
    return handle;
}

QWidget* WindowOf(WindowHandle handle) {
    const auto& table = Table();
    auto it = table.byHandle.constFind(handle);
    return it == table.byHandle.constEnd() ? nullptr : it.value().data();
}

}  // namespace corvane::platform
