#pragma once
// Key paths: "\"-separated components, empty components ignored, compared without regard to
// (ASCII) case.
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform::key_path {

// The text up to the first NUL: names cross the platform as C strings.
std::string_view c_string(std::string_view text);

// The non-empty components of `path`.
std::vector<std::string_view> split(std::string_view path);

// The components of `path` joined with single "\", without leading or trailing separators.
std::string normalize(std::string_view path);

// `base` and `relative` (both normalized or not) as one normalized path.
std::string join(std::string_view base, std::string_view relative);

// Whether two texts are equal when ASCII letters are compared without regard to case.
bool equals_ignore_case(std::string_view a, std::string_view b);

}  // namespace corvane::platform::key_path
