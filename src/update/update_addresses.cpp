#include "update/update_addresses.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "settings/settings_table.h"

namespace corvane::update {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool IsLoopbackHost(const std::string& host) {
    const std::string lower = Lower(host);
    if (lower == "localhost" || lower == "[::1]") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, lower.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return false;
}

}  // namespace

UpdateAddresses AddressesFor(std::string base) {
    if (base.empty()) base = std::string(settings::Definition(settings::Setting::UpdateServer).default_value);
    if (base.back() != '/') base.push_back('/');
    return UpdateAddresses{std::move(base)};
}

bool MayStartProgramFrom(std::string_view url) {
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) return false;
    const std::string scheme = Lower(url.substr(0, schemeEnd));
    if (scheme == "https") return true;
    if (scheme != "http") return false;
    std::string_view authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
    std::string host;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        host = std::string(authority.substr(0, close + 1));
    } else {
        host = std::string(authority.substr(0, authority.find(':')));
    }
    return IsLoopbackHost(host);
}

}  // namespace corvane::update
