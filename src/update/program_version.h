#pragma once
// Version texts of the program and of the definitions, and how a server's text is compared with ours.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane::update {

// The running program's version: the build's one version (the project's PROJECT_VERSION), "1.1.0".
std::string_view ProgramVersionText();

// Length of the version text the server's definitions version file begins with.
inline constexpr std::size_t kDefinitionsVersionLength = 3;

// A definitions version as a number: the first `length` characters of `text` (all of it when shorter,
// a line end after them not counted) when they are all decimal digits; nothing otherwise (an error
// page, "~~~", an empty answer).
std::optional<std::uint32_t> DefinitionsVersionNumber(std::string_view text, std::size_t length);

// Whether the server's definitions version ("105", from defver) is a later one than `local` (the
// version in force), both compared as numbers; a local version that is no number is older than any.
// Nothing when the server's is no number: that says nothing about being up to date.
std::optional<bool> ServerVersionIsNewer(std::string_view serverText, std::size_t length, std::string_view local);

// Whether the server's program version ("mainver": its first line, blanks around it ignored) is a
// later version than `local`. Both are decimal numbers joined by "." ("1.1.10"), compared number by
// number, a missing number counting as 0 ("1.2" equals "1.2.0", "1.1.10" is after "1.1.9"). nullopt
// when either text is no such version (an error page, an empty answer).
std::optional<bool> ProgramVersionIsNewer(std::string_view serverText, std::string_view local);

}  // namespace corvane::update
