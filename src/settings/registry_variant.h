#pragma once
// The values passed to and returned by RegistryRoutines: empty, a text, a signed 32-bit integer or
// a byte array, with the conversions the registry operations use.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvane::settings {

using RegistryVariant = std::variant<std::monostate, std::string, std::int32_t, std::vector<std::uint8_t>>;

// A caller's value that cannot become what an operation asks for (a non-numeric text written as
// REG_DWORD, an integer written as REG_BINARY, ...).
class RegistryConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

bool IsEmpty(const RegistryVariant& value);

// Empty gives "", an integer its decimal digits (with "-" when negative), a byte array its bytes.
std::string ToText(const RegistryVariant& value);

// Empty gives 0; a text must be a decimal number (surrounding blanks allowed, a fraction rounds to
// even) within the signed 32-bit range. Anything else throws RegistryConversionError.
std::int32_t ToInt32(const RegistryVariant& value);

// A text gives its bytes, a byte array itself; empty and integers throw RegistryConversionError.
std::vector<std::uint8_t> ToBytes(const RegistryVariant& value);

// The number in `text` as ToInt32 reads it, or false.
bool TryParseInt32(std::string_view text, std::int32_t& out);

}  // namespace corvane::settings
