// Connecting to the registry of a computer: only this machine's own store is reachable.
#include <unistd.h>

#include <array>

#include "platform/linux/registry_key_path.h"
#include "platform/registry.h"

namespace corvane::platform {

namespace {

bool is_this_machine(std::string_view machine) {
    std::array<char, 256> host{};
    if (::gethostname(host.data(), host.size() - 1) != 0) return false;
    const std::string_view full(host.data());
    const std::string_view short_name = full.substr(0, full.find('.'));
    return key_path::equals_ignore_case(machine, full) || key_path::equals_ignore_case(machine, short_name);
}

}  // namespace

RegStatus connect_registry(std::string_view machine, RootKey root, RegistryKey& out) {
    machine = key_path::c_string(machine);
    while (machine.starts_with('\\')) machine.remove_prefix(1);
    if (!machine.empty() && !is_this_machine(machine)) return kErrorBadNetPath;
    RegistryKey key = root_key(root);
    if (!key.is_open()) return kErrorInvalidHandle;
    out = std::move(key);
    return kErrorSuccess;
}

}  // namespace corvane::platform
