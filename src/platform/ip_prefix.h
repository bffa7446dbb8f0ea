#pragma once
// Address prefixes as the kernel side is given them: an address and how many of its leading bits
// count. Bits past the length are zero.
#include <array>
#include <cstdint>

namespace corvane::platform {

struct IpPrefix4 {
    std::uint32_t address = 0;  // network byte order
    std::uint8_t length = 32;   // 0..32
};

struct IpPrefix6 {
    std::array<std::uint8_t, 16> address{};  // network byte order
    std::uint8_t length = 128;               // 0..128
};

}  // namespace corvane::platform
