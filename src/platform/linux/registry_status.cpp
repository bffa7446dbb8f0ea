#include "platform/linux/registry_status.h"

#include <cerrno>
#include <cstring>
#include <limits>

namespace corvane::platform {

RegStatus status_from_errno(int error) {
    switch (error) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        default:
            return kErrorRegistryIoFailed;
    }
}

RegStatus copy_out(std::span<const std::uint8_t> data, std::span<std::uint8_t> buffer, std::uint32_t& size) {
    if (data.size() > std::numeric_limits<std::uint32_t>::max()) return kErrorRegistryIoFailed;
    size = static_cast<std::uint32_t>(data.size());
    if (buffer.data() == nullptr) return kErrorSuccess;
    if (buffer.size() < data.size()) return kErrorMoreData;
    if (!data.empty()) std::memcpy(buffer.data(), data.data(), data.size());
    return kErrorSuccess;
}

}  // namespace corvane::platform
