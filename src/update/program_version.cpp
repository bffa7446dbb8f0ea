#include "update/program_version.h"

namespace corvane::update {

std::string ProgramVersionText(const FileVersion& version) {
    return std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.revision);
}

bool ServerVersionIsNewer(std::string_view serverText, std::size_t length, std::string_view local) {
    // std::char_traits<char> orders characters as unsigned codes.
    return serverText.substr(0, length).compare(local) > 0;
}

}  // namespace corvane::update
