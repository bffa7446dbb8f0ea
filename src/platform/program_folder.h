#pragma once
// The folder that holds the running executable.
#include <cstdint>
#include <string>

namespace corvane::platform {

// Sets folder to the executable's folder, without a trailing "/" except for
// the root itself. Returns a Win32 code; folder is left empty on failure.
std::uint32_t GetProgramFolder(std::string& folder);

// The folder part of an absolute file path, by the same rule.
std::string FolderOfPath(const std::string& path);

}  // namespace corvane::platform
