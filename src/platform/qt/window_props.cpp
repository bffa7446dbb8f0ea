#include "platform/window_props.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QWidget>

namespace corvane::platform {
namespace {

using PropertyMap = QHash<QString, PropValue>;

// One map per live window; the window thread is the only user.
QHash<WindowHandle, PropertyMap>& Store() {
    static QHash<WindowHandle, PropertyMap> store;
    return store;
}

QString KeyOf(std::string_view name) {
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())).toLower();
}

}  // namespace

bool SetPropA(WindowHandle window, std::string_view name, PropValue value) {
    QWidget* widget = WindowOf(window);
    if (widget == nullptr || name.empty()) return false;
    auto& store = Store();
    if (!store.contains(window)) {
        // The first property of a window: drop the whole map when the window goes.
        QObject::connect(widget, &QObject::destroyed, [window] { Store().remove(window); });
    }
    store[window].insert(KeyOf(name), value);
    return true;
}

PropValue GetPropA(WindowHandle window, std::string_view name) {
    if (WindowOf(window) == nullptr) return 0;
    const auto& store = Store();
    auto it = store.constFind(window);
    if (it == store.constEnd()) return 0;
    return it->value(KeyOf(name), 0);
}

PropValue RemovePropA(WindowHandle window, std::string_view name) {
    auto& store = Store();
    auto it = store.find(window);
    if (it == store.end()) return 0;
    return it->take(KeyOf(name));
}

std::vector<std::string> PropNames(WindowHandle window) {
    std::vector<std::string> names;
    if (WindowOf(window) == nullptr) return names;
    const auto& store = Store();
    auto it = store.constFind(window);
    if (it == store.constEnd()) return names;
    for (auto entry = it->constBegin(); entry != it->constEnd(); ++entry) names.push_back(entry.key().toStdString());
    return names;
}

}  // namespace corvane::platform
