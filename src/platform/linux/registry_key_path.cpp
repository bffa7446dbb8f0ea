#include "platform/linux/registry_key_path.h"

#include <algorithm>

namespace corvane::platform::key_path {

namespace {
char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

std::string_view c_string(std::string_view text) {
    const std::size_t nul = text.find('\0');
    return nul == std::string_view::npos ? text : text.substr(0, nul);
}

std::vector<std::string_view> split(std::string_view path) {
    std::vector<std::string_view> parts;
    path = c_string(path);
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string normalize(std::string_view path) { return join({}, path); }

std::string join(std::string_view base, std::string_view relative) {
    std::string out;
    for (std::string_view source : {base, relative}) {
        for (std::string_view part : split(source)) {
            if (!out.empty()) out.push_back('\\');
            out.append(part);
        }
    }
    return out;
}

bool equals_ignore_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return fold(x) == fold(y); });
}

}  // namespace corvane::platform::key_path
