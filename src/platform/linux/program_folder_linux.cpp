#include "platform/program_folder.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/win32_error.h"

namespace corvane::platform {

std::string FolderOfPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::uint32_t GetProgramFolder(std::string& folder) {
    folder.clear();
    // readlink does not say whether the name was cut; grow until it fits.
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return Win32FromErrno(errno);
        if (static_cast<std::size_t>(length) < buffer.size()) {
            folder = FolderOfPath(std::string(buffer.data(), static_cast<std::size_t>(length)));
            return folder.empty() ? win32::kErrorInvalidData : win32::kNoError;
        }
        if (buffer.size() >= (1U << 20)) return win32::kErrorInsufficientBuffer;
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace corvane::platform
