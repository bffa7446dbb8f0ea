#include "platform/win32_error.h"

#include <cerrno>

namespace corvane::platform {

std::uint32_t Win32FromErrno(int error) noexcept {
    switch (error) {
        case 0:
            return win32::kNoError;
        case EPERM:
        case EACCES:
            return win32::kErrorAccessDenied;
        case ENOENT:
            return win32::kErrorNotFound;
        case ENOMEM:
        case ENOBUFS:
            return win32::kErrorNotEnoughMemory;
        case EINVAL:
            return win32::kErrorInvalidParameter;
        case EOPNOTSUPP:
        case EPROTONOSUPPORT:
        case EAFNOSUPPORT:
            return win32::kErrorNotSupported;
        case ENOSPC:
        case EMSGSIZE:
            return win32::kErrorInsufficientBuffer;
        case EBADMSG:
        case EPROTO:
            return win32::kErrorInvalidData;
        case ETIMEDOUT:
        case EAGAIN:
            return win32::kErrorTimeout;
        default:
            return win32::kErrorGenFailure;
    }
}

}  // namespace corvane::platform
