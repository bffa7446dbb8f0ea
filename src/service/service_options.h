#pragma once
// corvaned's command line: `corvaned [--state-dir DIR] [--control-group NAME] [--lists-dir DIR]`,
// `--help`.
#include <string>
#include <vector>

namespace corvane::service {

inline constexpr char kListsDir[] = "/etc/corvane/lists.d";

struct ServiceOptions {
    std::string stateDir;      // where qd.def lives (platform::machine_state_dir() unless given)
    std::string controlGroup;  // the group whose members may control the service
    std::string listsDir;      // the administrator's address lists (kListsDir unless given)
    bool help = false;         // --help: print the usage and end
};

// Reads the arguments after the program name. False, with `error` set, on an unknown option, a
// missing value or an empty one.
bool ParseServiceOptions(const std::vector<std::string>& arguments, ServiceOptions& options, std::string& error);

// The usage text --help prints.
std::string ServiceUsage();

}  // namespace corvane::service
