#include "update/program_version.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#ifndef CORVANE_VERSION
#error "CORVANE_VERSION must come from the build (PROJECT_VERSION)"
#endif

namespace corvane::update {
namespace {

constexpr std::size_t kMaxParts = 4;
constexpr std::uint32_t kMaxPart = 999999;

std::optional<std::vector<std::uint32_t>> ParseVersion(std::string_view text) {
    std::vector<std::uint32_t> parts;
    std::size_t at = 0;
    while (true) {
        const std::size_t start = at;
        std::uint32_t value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
            if (value > kMaxPart) return std::nullopt;
            ++at;
        }
        if (at == start || parts.size() == kMaxParts) return std::nullopt;
        parts.push_back(value);
        if (at == text.size()) return parts;
        if (text[at] != '.') return std::nullopt;
        ++at;
    }
}

std::string_view FirstLineTrimmed(std::string_view text) {
    text = text.substr(0, text.find_first_of("\r\n"));
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

std::string_view ProgramVersionText() { return CORVANE_VERSION; }

std::optional<std::uint32_t> DefinitionsVersionNumber(std::string_view text, std::size_t length) {
    text = text.substr(0, std::min(length, text.find_first_of("\r\n")));
    if (text.empty() || text.size() > 9) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value;
}

std::optional<bool> ServerVersionIsNewer(std::string_view serverText, std::size_t length, std::string_view local) {
    const std::optional<std::uint32_t> server = DefinitionsVersionNumber(serverText, length);
    if (!server) return std::nullopt;
    const std::optional<std::uint32_t> ours = DefinitionsVersionNumber(local, length);
    return !ours || *server > *ours;
}

std::optional<bool> ProgramVersionIsNewer(std::string_view serverText, std::string_view local) {
    const auto server = ParseVersion(FirstLineTrimmed(serverText));
    const auto ours = ParseVersion(local);
    if (!server || !ours) return std::nullopt;
    const std::size_t count = std::max(server->size(), ours->size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t a = i < server->size() ? (*server)[i] : 0;
        const std::uint32_t b = i < ours->size() ? (*ours)[i] : 0;
        if (a != b) return a > b;
    }
    return false;
}

}  // namespace corvane::update
