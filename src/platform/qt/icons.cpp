#include <QIcon>
#include <QString>

#include <map>
#include <string>
#include <vector>

#include "platform/icons.h"
#include "platform/qt/icon_table.h"

namespace corvane::platform {
namespace {

struct IconTable {
    std::vector<QIcon> icons;  // handle n is icons[n - 1]
    std::map<std::string, IconHandle> byName;
};

IconTable& Table() {
    static IconTable table;
    return table;
}

}  // namespace

IconHandle LoadIconResource(std::string_view name) {
    auto& table = Table();
    const std::string key(name);
    if (auto it = table.byName.find(key); it != table.byName.end()) return it->second;
    QIcon icon(QString::fromStdString(key));
    if (icon.isNull() || icon.availableSizes().isEmpty()) return 0;
    table.icons.push_back(icon);
    const IconHandle handle = table.icons.size();
    table.byName.emplace(key, handle);
    return handle;
}

QIcon IconOf(IconHandle handle) {
    const auto& table = Table();
    if (handle == 0 || handle > table.icons.size()) return {};
    return table.icons[handle - 1];
}

}  // namespace corvane::platform
