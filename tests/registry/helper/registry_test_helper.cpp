// A second process for the registry tests (several writers, a writer killed mid-way, a user
// without rights to the machine hive). Uses CORVANE_ROOT from its environment.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry.h"
#include "settings/registry_routines.h"
#include "settings/settings_table.h"

namespace reg = corvane::platform;
using corvane::settings::RegistryRoutines;

namespace {

// Appends rather than `text + std::to_string(n)`: GCC 12 at -O3 warns (-Wrestrict, a false positive of
// that compiler) on inserting into the front of a temporary string.
std::string Numbered(std::string_view text, int n) {
    std::string result(text);
    result += std::to_string(n);
    return result;
}

bool set_text(const reg::RegistryKey& key, const std::string& name, const std::string& text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    return reg::set_value(key, name, reg::kRegSz, {bytes, text.size()}) == reg::kErrorSuccess;
}

int open_test_key(reg::RegistryKey& key) {
    const reg::RegStatus status =
        reg::create_key(reg::root_key(reg::kHkeyLocalMachine), "Software\\Test", reg::kKeyAllAccess, key);
    if (status != reg::kErrorSuccess) std::fprintf(stderr, "create_key: %d\n", status);
    return status;
}

// Writes PREFIX0 .. PREFIX<count-1>; fails at the first write that fails.
int write_many(const std::string& prefix, int count) {
    reg::RegistryKey key;
    if (open_test_key(key) != 0) return 1;
    for (int i = 0; i < count; ++i) {
        if (!set_text(key, Numbered(prefix, i), std::to_string(i))) {
            std::fprintf(stderr, "write %d failed\n", i);
            return 1;
        }
    }
    return 0;
}

// Writes v0 .. v<count-1>, telling each acknowledged write on standard output.
int write_ack(int count) {
    reg::RegistryKey key;
    if (open_test_key(key) != 0) return 1;
    for (int i = 0; i < count; ++i) {
        if (!set_text(key, Numbered("v", i), Numbered("value-", i))) return 1;
        std::printf("%d\n", i);
        std::fflush(stdout);
    }
    return 0;
}

// What an ordinary user's RegistryRoutines gets from the machine hive.
int routines_report() {
    RegistryRoutines routines;
    routines.set_hkey(corvane::settings::kHkeyLocalMachine);
    routines.set_KeyRoot("Software\\Corvane");
    std::printf("key_exists=%d\n", routines.KeyExists() ? 1 : 0);
    std::printf("create_existing=%s\n", routines.CreateKey().c_str());
    std::printf("create_new=%s\n", routines.CreateKey(std::string("Sub")).c_str());
    std::printf("run=%s\n", corvane::settings::ToText(routines.GetRegistryValue("Run", std::string("1"))).c_str());
    std::printf("set=%d\n", routines.SetRegistryValue("Run", std::string("0"), 1) ? 1 : 0);
    std::printf("delete=%d\n", routines.DeleteValue("Run"));
    std::printf("save_attempts=%d\n", corvane::settings::SaveAttempts(99) ? 1 : 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "write-many" && argc == 4) return write_many(argv[2], std::atoi(argv[3]));
    if (command == "write-ack" && argc == 3) return write_ack(std::atoi(argv[2]));
    if (command == "routines-report") return routines_report();
    std::fprintf(stderr, "usage: registry_test_helper write-many PREFIX N | write-ack N | routines-report\n");
    return 2;
}
