#include "platform/address_text.h"

namespace corvane::platform {

// inet_ntoa's text ("%u.%u.%u.%u" of the bytes in network order), written into
// the caller's buffer: no shared static buffer, no formatting machinery, as it
// runs once per table row.
std::size_t InetNtoa(std::uint32_t address, char (&out)[kAddressTextMax + 1]) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address);
    std::size_t length = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned value = bytes[i];
        if (value >= 100) out[length++] = static_cast<char>('0' + value / 100);
        if (value >= 10) out[length++] = static_cast<char>('0' + value / 10 % 10);
        out[length++] = static_cast<char>('0' + value % 10);
        if (i < 3) out[length++] = '.';
    }
    out[length] = '\0';
    return length;
}

}  // namespace corvane::platform
