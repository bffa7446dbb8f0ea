#include "service/service_options.h"

#include "platform/dbus/bus_names.h"
#include "platform/paths.h"

namespace corvane::service {

bool ParseServiceOptions(const std::vector<std::string>& arguments, ServiceOptions& options, std::string& error) {
    options = ServiceOptions{};
    options.stateDir = platform::machine_state_dir().string();
    options.controlGroup = platform::bus::kControlGroup;
    options.listsDir = kListsDir;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        std::string* target = nullptr;
        std::string name = argument;
        std::string value;
        bool haveValue = false;
        if (const std::size_t equals = argument.find('='); argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            haveValue = true;
        }
        if (name == "--state-dir")
            target = &options.stateDir;
        else if (name == "--control-group")
            target = &options.controlGroup;
        else if (name == "--lists-dir")
            target = &options.listsDir;
        if (target == nullptr) {
            error = "unknown argument: " + argument;
            return false;
        }
        if (!haveValue) {
            if (i + 1 >= arguments.size()) {
                error = name + " needs a value";
                return false;
            }
            value = arguments[++i];
        }
        if (value.empty()) {
            error = name + " needs a value that is not empty";
            return false;
        }
        *target = value;
    }
    return true;
}

std::string ServiceUsage() {
    return "Usage: corvaned [--state-dir DIR] [--control-group NAME] [--lists-dir DIR]\n"
           "Corvane's protection service: tears down TCP connections to the listed addresses, keeps the\n"
           "count of blocked attempts and answers on the system bus as " +
           std::string(platform::bus::kServiceName) +
           ".\n"
           "  --state-dir DIR        where qd.def is kept (default: " +
           platform::machine_state_dir().string() +
           ")\n"
           "  --control-group NAME   members of this group may control the service (default: " +
           platform::bus::kControlGroup +
           ")\n"
           "  --lists-dir DIR        the administrator's address lists, *.list files (default: " +
           std::string(kListsDir) +
           ")\n"
           "  --help                 print this text and end\n";
}

}  // namespace corvane::service
