#include "update_test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "service/definitions_file.h"

namespace corvane::testing {

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-update-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
    ::setenv("CORVANE_ROOT", path_.c_str(), 1);
    platform::close_cached_hives();
}

ScratchFolder::~ScratchFolder() {
    platform::close_cached_hives();
    ::unsetenv("CORVANE_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchFolder::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool RecordingHost::InstallDefinitions(int fd, std::string& refused) {
    installedOffsets.push_back(::lseek(fd, 0, SEEK_CUR));
    installedSeals.push_back(::fcntl(fd, F_GET_SEALS));
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    installed.push_back(bytes);
    statAtInstall.push_back(lblStat);
    // What the service does with the descriptor before it replaces anything.
    std::string checked;
    std::string why;
    engine::Definitions definitions;
    if (!service::ReadDefinitionsDescriptor(fd, checked, why) ||
        !service::CheckDefinitions(checked, definitions, why)) {
        refusals.push_back(why);
        refused = "not a definitions file: " + why;
        return false;
    }
    if (!installAccepted) refused = "the definitions could not be stored: no space left on device";
    return installAccepted;
}

}  // namespace corvane::testing
