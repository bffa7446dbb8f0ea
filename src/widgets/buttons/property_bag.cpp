#include "widgets/buttons/property_bag.h"

namespace corvane::buttons {

PropertyBag::PropertyBag(const QJsonObject& data) {
    for (auto it = data.constBegin(); it != data.constEnd(); ++it) values_.insert(it.key().toLower(), it.value());
}

QJsonValue PropertyBag::ReadProperty(const QString& key, const QJsonValue& fallback) const {
    const auto it = values_.constFind(key.toLower());
    return it == values_.constEnd() ? fallback : it.value();
}

void PropertyBag::WriteProperty(const QString& key, const QJsonValue& value, const QJsonValue& fallback) {
    const QString lower = key.toLower();
    if (!fallback.isUndefined() && value == fallback) {
        values_.remove(lower);
        return;
    }
    values_.insert(lower, value);
}

bool PropertyBag::Contains(const QString& key) const { return values_.contains(key.toLower()); }

}  // namespace corvane::buttons
