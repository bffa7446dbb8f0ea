#pragma once
// Result codes of the TCP table and counter services, in the Win32 numbering the rest of the
// system already speaks (0 = success). Linux errno values are mapped onto them.
#include <cstdint>

namespace corvane::platform {
namespace win32 {

inline constexpr std::uint32_t kNoError = 0;                    // NO_ERROR
inline constexpr std::uint32_t kErrorGenFailure = 31;           // ERROR_GEN_FAILURE
inline constexpr std::uint32_t kErrorAccessDenied = 5;          // ERROR_ACCESS_DENIED
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;       // ERROR_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t kErrorInvalidData = 13;          // ERROR_INVALID_DATA
inline constexpr std::uint32_t kErrorNotSupported = 50;         // ERROR_NOT_SUPPORTED
inline constexpr std::uint32_t kErrorInvalidParameter = 87;     // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;  // ERROR_INSUFFICIENT_BUFFER
inline constexpr std::uint32_t kErrorFileNotFound = 2;          // ERROR_FILE_NOT_FOUND
inline constexpr std::uint32_t kErrorNotFound = 1168;           // ERROR_NOT_FOUND
inline constexpr std::uint32_t kErrorTimeout = 1460;            // ERROR_TIMEOUT

}  // namespace win32

// Maps an errno value to the nearest Win32 code. 0 maps to win32::kNoError.
std::uint32_t Win32FromErrno(int error) noexcept;

}  // namespace corvane::platform
