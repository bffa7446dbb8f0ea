#include "widgets/buttons/instance_values.h"

#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <limits>

namespace corvane::buttons {
namespace {

std::optional<std::int64_t> ReadWhole(const QJsonValue& value) {
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (!std::isfinite(number) || number != std::floor(number) || std::fabs(number) > 9.0e15) return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    if (value.isString()) {
        QString text = value.toString().trimmed();
        bool ok = false;
        std::int64_t number = 0;
        if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            number = text.mid(2).toLongLong(&ok, 16);
        else
            number = text.toLongLong(&ok, 10);
        if (ok) return number;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int32_t> ReadLong(const QJsonValue& value) {
    const auto whole = ReadWhole(value);
    if (!whole || *whole < std::numeric_limits<std::int32_t>::min() ||
        *whole > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    // Values above the signed range are the unsigned spelling of the same 32 bits.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(*whole));
}

std::optional<std::int16_t> ReadInteger(const QJsonValue& value) {
    const auto whole = ReadWhole(value);
    if (!whole || *whole < std::numeric_limits<std::int16_t>::min() ||
        *whole > std::numeric_limits<std::int16_t>::max())
        return std::nullopt;
    return static_cast<std::int16_t>(*whole);
}

std::optional<bool> ReadBool(const QJsonValue& value) {
    if (value.isBool()) return value.toBool();
    if (const auto whole = ReadWhole(value)) return *whole != 0;  // -1 / 0 as saved by older forms
    return std::nullopt;
}

std::optional<OleColor> ReadColor(const QJsonValue& value) {
    if (value.isString() && value.toString().trimmed().startsWith(QLatin1Char('#'))) {
        bool ok = false;
        const uint rrggbb = value.toString().trimmed().mid(1).toUInt(&ok, 16);
        if (!ok || value.toString().trimmed().size() != 7) return std::nullopt;
        return Rgb(static_cast<int>((rrggbb >> 16) & 0xFF), static_cast<int>((rrggbb >> 8) & 0xFF),
                   static_cast<int>(rrggbb & 0xFF));
    }
    return ReadLong(value);
}

std::optional<QString> ReadText(const QJsonValue& value) {
    if (value.isString()) return value.toString();
    return std::nullopt;
}

QJsonValue FontToJson(const QFont& font) {
    QJsonObject saved;
    saved.insert(QStringLiteral("name"), font.family());
    saved.insert(QStringLiteral("size"), font.pointSizeF());
    saved.insert(QStringLiteral("weight"), static_cast<int>(font.weight()));
    saved.insert(QStringLiteral("bold"), font.bold());
    saved.insert(QStringLiteral("italic"), font.italic());
    saved.insert(QStringLiteral("underline"), font.underline());
    saved.insert(QStringLiteral("strikeout"), font.strikeOut());
    return saved;
}

std::optional<QFont> FontFromJson(const QJsonValue& value, const QFont& base) {
    if (!value.isObject()) return std::nullopt;
    const QJsonObject saved = value.toObject();
    QFont font = base;
    if (const QJsonValue name = saved.value(QStringLiteral("name")); name.isString()) font.setFamily(name.toString());
    if (const QJsonValue size = saved.value(QStringLiteral("size")); size.isDouble()) {
        if (!(size.toDouble() > 0.0)) return std::nullopt;
        font.setPointSizeF(size.toDouble());
    }
    if (const QJsonValue weight = saved.value(QStringLiteral("weight")); weight.isDouble())
        font.setWeight(static_cast<QFont::Weight>(std::clamp(weight.toInt(), 1, 1000)));
    if (const QJsonValue bold = saved.value(QStringLiteral("bold")); bold.isBool() && bold.toBool() != font.bold())
        font.setBold(bold.toBool());
    if (const QJsonValue italic = saved.value(QStringLiteral("italic")); italic.isBool())
        font.setItalic(italic.toBool());
    if (const QJsonValue underline = saved.value(QStringLiteral("underline")); underline.isBool())
        font.setUnderline(underline.toBool());
    if (const QJsonValue strike = saved.value(QStringLiteral("strikeout")); strike.isBool())
        font.setStrikeOut(strike.toBool());
    return font;
}

}  // namespace corvane::buttons
