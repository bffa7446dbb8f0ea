#pragma once
// Conversions between the button's property values and their saved JSON form. Every reader reports
// whether the JSON value had a usable type; a wrong type is a failing read of the property store.
#include <QFont>
#include <QJsonValue>
#include <cstdint>
#include <optional>

#include "widgets/buttons/ole_color.h"

namespace corvane::buttons {

// 32-bit integers (also accepted as text "0x..." for readability of hand-written form data).
std::optional<std::int32_t> ReadLong(const QJsonValue& value);
// 16-bit integers: a value outside -32768..32767 is a failing read (an overflow).
std::optional<std::int16_t> ReadInteger(const QJsonValue& value);
std::optional<bool> ReadBool(const QJsonValue& value);
// Colours: a number in the signed or unsigned 32-bit range, or text "0x8000000F" / "#RRGGBB".
std::optional<OleColor> ReadColor(const QJsonValue& value);
std::optional<QString> ReadText(const QJsonValue& value);

// Fonts are saved as {"name", "size" (points), "weight", "bold", "italic", "underline", "strikeout"}.
QJsonValue FontToJson(const QFont& font);
std::optional<QFont> FontFromJson(const QJsonValue& value, const QFont& base);

}  // namespace corvane::buttons
