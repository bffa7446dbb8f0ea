#pragma once
// Ternary raster operations. Bits 16..23 of a ROP code are its truth table: for each bit of the
// three inputs - pattern P (the brush), source S, destination D - the result bit is bit
// (P * 4 + S * 2 + D) of that byte. Every code is evaluated this way, on all 24 colour bits at
// once, so SRCCOPY, SRCAND, SRCPAINT, 0xB8074A, 0x220326 and every other code are exact.

#include <cstdint>

#include "platform/gdi/gdi_types.h"

namespace corvane::gdi {

// Result of the operation on three pixel values (all 32 bits are evaluated; callers keep 24).
std::uint32_t EvaluateRop3(DWORD rop, std::uint32_t pattern, std::uint32_t source, std::uint32_t destination);

// Whether the code reads the source, the pattern, the destination.
bool RopUsesSource(DWORD rop);
bool RopUsesPattern(DWORD rop);
bool RopUsesDestination(DWORD rop);

}  // namespace corvane::gdi
