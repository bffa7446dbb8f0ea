#pragma once
// Pieces every part of the registry store shares: result codes from system errors, and handing a
// value's data to a caller's buffer.
#include <cstdint>
#include <span>

#include "platform/registry.h"

namespace corvane::platform {

// 0 is success, ENOENT not found, refusals access denied, anything else an I/O failure.
RegStatus status_from_errno(int error);

// Reports data's size in `size` and copies it into `buffer`; a null buffer asks only for the size,
// a short one gives ERROR_MORE_DATA (234) and copies nothing.
RegStatus copy_out(std::span<const std::uint8_t> data, std::span<std::uint8_t> buffer, std::uint32_t& size);

}  // namespace corvane::platform
