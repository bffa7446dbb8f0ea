#include "platform/environment.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <optional>

extern char** environ;

namespace corvane::platform {

namespace {

// The variable's value: the exact name first, then the first variable whose name differs only in case.
std::optional<std::string_view> lookup(const std::string& name) {
    if (const char* exact = std::getenv(name.c_str())) return std::string_view(exact);
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals == nullptr) continue;
        const std::size_t length = static_cast<std::size_t>(equals - *entry);
        if (length == name.size() && strncasecmp(*entry, name.c_str(), length) == 0) {
            return std::string_view(equals + 1);
        }
    }
    return std::nullopt;
}

}  // namespace

std::string expand_environment(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t open = text.find('%', pos);
        if (open == std::string_view::npos) {
            out.append(text.substr(pos));
            break;
        }
        out.append(text.substr(pos, open - pos));
        const std::size_t close = text.find('%', open + 1);
        if (close == std::string_view::npos) {
            out.append(text.substr(open));
            break;
        }
        const std::string name(text.substr(open + 1, close - open - 1));
        const auto value = name.empty() || name.find('\0') != std::string::npos ? std::nullopt : lookup(name);
        if (value) {
            out.append(*value);
        } else {
            out.append(text.substr(open, close - open + 1));
        }
        pos = close + 1;
    }
    return out;
}

std::uint32_t expand_environment_strings(std::string_view text, std::span<char> out) {
    const std::string expanded = expand_environment(text);
    const std::size_t needed = expanded.size() + 1;
    if (needed > UINT32_MAX) return 0;
    if (needed <= out.size()) {
        std::memcpy(out.data(), expanded.data(), expanded.size());
        out[expanded.size()] = '\0';
    }
    return static_cast<std::uint32_t>(needed);
}

}  // namespace corvane::platform
