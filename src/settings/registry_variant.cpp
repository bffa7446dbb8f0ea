#include "settings/registry_variant.h"

#include <cmath>
#include <limits>

namespace corvane::settings {

namespace {
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool IsEmpty(const RegistryVariant& value) { return std::holds_alternative<std::monostate>(value); }

bool TryParseInt32(std::string_view text, std::int32_t& out) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::int64_t whole = 0;
    std::size_t i = 0;
    bool digits = false;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        whole = whole * 10 + (text[i] - '0');
        digits = true;
        if (whole > std::int64_t{1} << 32) return false;
    }
    // The fraction only decides the rounding: to the nearest, halves to even.
    int rounding = 0;  // -1 below half, 0 exactly half, 1 above half; 2 when there is no fraction
    bool has_fraction = false;
    if (i < text.size() && text[i] == '.') {
        ++i;
        const std::size_t start = i;
        for (; i < text.size() && is_digit(text[i]); ++i) digits = true;
        const std::string_view fraction = text.substr(start, i - start);
        if (!fraction.empty()) {
            has_fraction = true;
            if (fraction[0] < '5') {
                rounding = -1;
            } else if (fraction[0] > '5') {
                rounding = 1;
            } else {
                rounding = fraction.find_first_not_of('0', 1) == std::string_view::npos ? 0 : 1;
            }
        }
    }
    if (!digits || i != text.size()) return false;
    if (has_fraction && (rounding == 1 || (rounding == 0 && whole % 2 == 1))) ++whole;
    const std::int64_t value = negative ? -whole : whole;
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(value);
    return true;
}

std::string ToText(const RegistryVariant& value) {
    return std::visit(
        Overloaded{
            [](std::monostate) { return std::string(); },
            [](const std::string& text) { return text; },
            [](std::int32_t number) { return std::to_string(number); },
            [](const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); },
        },
        value);
}

std::int32_t ToInt32(const RegistryVariant& value) {
    return std::visit(Overloaded{
                          [](std::monostate) { return std::int32_t{0}; },
                          [](const std::string& text) {
                              std::int32_t number = 0;
                              if (!TryParseInt32(text, number)) {
                                  throw RegistryConversionError("not a 32-bit number: \"" + text + "\"");
                              }
                              return number;
                          },
                          [](std::int32_t number) { return number; },
                          [](const std::vector<std::uint8_t>&) -> std::int32_t {
                              throw RegistryConversionError("a byte array is not a number");
                          },
                      },
                      value);
}

std::vector<std::uint8_t> ToBytes(const RegistryVariant& value) {
    return std::visit(Overloaded{
                          [](std::monostate) -> std::vector<std::uint8_t> {
                              throw RegistryConversionError("an empty value is not a byte array");
                          },
                          [](const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); },
                          [](std::int32_t) -> std::vector<std::uint8_t> {
                              throw RegistryConversionError("a number is not a byte array");
                          },
                          [](const std::vector<std::uint8_t>& bytes) { return bytes; },
                      },
                      value);
}

}  // namespace corvane::settings
