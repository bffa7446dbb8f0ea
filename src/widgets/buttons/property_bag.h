#pragma once
// The property store of a button's saved instance data: a JSON object whose keys are matched without
// regard to case ("cBhover" written, "cBHover" read) and kept in lower case. A value equal to its default
// is left out on writing and assumed when its key is missing on reading.
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

namespace corvane::buttons {

class PropertyBag {
public:
    PropertyBag() = default;
    // Takes saved data; keys differing only in case count as one (the last one read wins).
    explicit PropertyBag(const QJsonObject& data);

    // The stored value, or `fallback` when the key is missing.
    QJsonValue ReadProperty(const QString& key, const QJsonValue& fallback = QJsonValue()) const;
    // Stores the value unless it equals `fallback`; an undefined fallback means always store.
    void WriteProperty(const QString& key, const QJsonValue& value,
                       const QJsonValue& fallback = QJsonValue(QJsonValue::Undefined));
    bool Contains(const QString& key) const;

    const QJsonObject& Data() const { return values_; }

private:
    QJsonObject values_;
};

}  // namespace corvane::buttons
