#include "platform/gdi/rop.h"

namespace corvane::gdi {

std::uint32_t EvaluateRop3(DWORD rop, std::uint32_t p, std::uint32_t s, std::uint32_t d) {
    const unsigned table = (rop >> 16) & 0xFFu;
    std::uint32_t result = 0;
    for (unsigned index = 0; index < 8; ++index) {
        if (!(table & (1u << index))) continue;
        const std::uint32_t pm = (index & 4) ? p : ~p;
        const std::uint32_t sm = (index & 2) ? s : ~s;
        const std::uint32_t dm = (index & 1) ? d : ~d;
        result |= pm & sm & dm;
    }
    return result;
}

bool RopUsesSource(DWORD rop) {
    const unsigned t = (rop >> 16) & 0xFFu;
    return ((t >> 2) & 0x33u) != (t & 0x33u);
}

bool RopUsesPattern(DWORD rop) {
    const unsigned t = (rop >> 16) & 0xFFu;
    return ((t >> 4) & 0x0Fu) != (t & 0x0Fu);
}

bool RopUsesDestination(DWORD rop) {
    const unsigned t = (rop >> 16) & 0xFFu;
    return ((t >> 1) & 0x55u) != (t & 0x55u);
}

}  // namespace corvane::gdi
