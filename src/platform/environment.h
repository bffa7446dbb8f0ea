#pragma once
// Expansion of %NAME% references to environment variables (the role of ExpandEnvironmentStringsA).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace corvane::platform {

// Expands every %NAME% whose variable is set (exact name first, then any case); references to unset
// variables and a lone "%" stay as written. Writes the expansion and a terminating NUL into `out`
// only when both fit. Returns the size the expansion needs in bytes, terminating NUL included, so a
// result larger than out.size() means nothing was written.
std::uint32_t expand_environment_strings(std::string_view text, std::span<char> out);

// The whole expansion of `text`, sized to fit.
std::string expand_environment(std::string_view text);

}  // namespace corvane::platform
