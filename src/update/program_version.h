#pragma once
// Version texts of the program and of the definitions, and how a server's text is compared with ours.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::update {

// The program's file version: major.minor.build.revision.
struct FileVersion {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint16_t build = 0;
    std::uint16_t revision = 0;
};

inline constexpr FileVersion kProgramVersion{1, 1, 0, 53};

// Major, minor and revision in decimal, joined by "." (the build number takes no part): 1.1.53.
std::string ProgramVersionText(const FileVersion& version = kProgramVersion);

// Lengths of the version texts the server's files begin with.
inline constexpr std::size_t kDefinitionsVersionLength = 3;
inline constexpr std::size_t kProgramVersionLength = 6;

// Whether the first `length` characters of the server's text (all of it when shorter) sort after
// `local`, character by character by code, case-sensitive. No numeric meaning: "1.1.6" is newer than
// "1.1.53", "1.1.100" is not. An empty server text is never newer.
bool ServerVersionIsNewer(std::string_view serverText, std::size_t length, std::string_view local);

}  // namespace corvane::update
