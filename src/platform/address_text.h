#pragma once
// inet_ntoa's role: the dotted-decimal text of an IPv4 address.
#include <cstddef>
#include <cstdint>

namespace corvane::platform {

// Longest text InetNtoa writes, without a terminator ("255.255.255.255").
inline constexpr std::size_t kAddressTextMax = 15;

// Writes the dotted text of address (network byte order) into out (no
// terminator) and returns its length; 0 when the platform gives no text.
std::size_t InetNtoa(std::uint32_t address, char (&out)[kAddressTextMax + 1]) noexcept;

}  // namespace corvane::platform
