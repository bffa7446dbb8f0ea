#pragma once
// Version texts of the program and of the definitions, and how a server's text is compared with ours.
#include <cstddef>
#include <optional>
#include <string_view>

namespace corvane::update {

// The running program's version: the build's one version (the project's PROJECT_VERSION), "1.1.0".
std::string_view ProgramVersionText();

// Length of the version text the server's definitions version file begins with.
inline constexpr std::size_t kDefinitionsVersionLength = 3;

// Whether the first `length` characters of the server's text (all of it when shorter) sort after
// `local`, character by character by code, case-sensitive: definitions versions are three digits
// ("104" < "105"). An empty server text is never newer.
bool ServerVersionIsNewer(std::string_view serverText, std::size_t length, std::string_view local);

// Whether the server's program version ("mainver": its first line, blanks around it ignored) is a
// later version than `local`. Both are decimal numbers joined by "." ("1.1.10"), compared number by
// number, a missing number counting as 0 ("1.2" equals "1.2.0", "1.1.10" is after "1.1.9"). nullopt
// when either text is no such version (an error page, an empty answer).
std::optional<bool> ProgramVersionIsNewer(std::string_view serverText, std::string_view local);

}  // namespace corvane::update
