// corvane-unit-sandbox (tests/support), which the harness starts corvaned through: a probe run under it
// meets what the unit file says (the package's corvaned.service, and units of the test's own for
// systemd's rules of repeated lines), and a unit it cannot apply starts nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "service_harness.h"

#ifndef CORVANE_UNIT_SANDBOX_PROBE
#error "CORVANE_UNIT_SANDBOX_PROBE names the built unit_sandbox_probe (tests/support)"
#endif

namespace corvane::service::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::StartsWith;

const std::vector<std::string> kEnv = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"};

struct ProbeRun {
    CommandResult result;
    std::map<std::string, std::string> calls;  // "socket_inet" -> "EAFNOSUPPORT" or "0"
};

ProbeRun Probe(const std::vector<std::string>& prefix) {
    std::vector<std::string> command = prefix;
    command.push_back(CORVANE_UNIT_SANDBOX_PROBE);
    ProbeRun run{Run(command, kEnv), {}};
    std::istringstream lines(run.result.out);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) run.calls[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return run;
}

std::vector<std::string> Sandbox(const fs::path& unit) { return {CORVANE_UNIT_SANDBOX, "--unit", unit.string(), "--"}; }

fs::path WriteUnit(const TempDir& dir, const std::string& name, const std::string& service) {
    const fs::path path = dir.Path() / name;
    std::ofstream(path) << "[Unit]\nDescription=test unit\n\n[Service]\nExecStart=/bin/true\n" << service;
    return path;
}

// What the probe said of `call`.
std::string Got(const ProbeRun& run, const std::string& call) {
    const auto found = run.calls.find(call);
    return found == run.calls.end() ? "(not said)" : found->second;
}

// The probe's exit and output, for the failure messages.
std::string Described(const ProbeRun& run) {
    return "status " + std::to_string(run.result.status) + ":\n" + run.result.out;
}

TEST(UnitSandbox, ThePackagesUnitRefusesInetSocketsWriteExecuteMemoryAndTheCallsItDenies) {
    // Without the sandbox every call the probe makes goes through: what fails below is the filter's doing.
    const ProbeRun plain = Probe({});
    ASSERT_TRUE(plain.result.Succeeded()) << Described(plain);
    for (const char* call : {"socket_inet", "socket_netlink", "socket_unix", "mmap_wx", "mprotect_x", "adjtimex"})
        EXPECT_EQ(Got(plain, call), "0") << call << "\n" << Described(plain);

    // As root, so that only the filter can refuse syslog() (not in @system-service: the default errno).
    const ProbeRun root = Probe(Sandbox(CORVANE_UNIT_FILE));
    ASSERT_TRUE(root.result.Succeeded()) << Described(root);
    const std::map<std::string, std::string> expected = {
        // RestrictAddressFamilies=AF_NETLINK AF_UNIX (socketpair() is not filtered, as with systemd)
        {"socket_inet", "EAFNOSUPPORT"},
        {"socket_inet6", "EAFNOSUPPORT"},
        {"socket_netlink", "0"},
        {"socket_unix", "0"},
        {"socketpair_unix", "0"},
        // MemoryDenyWriteExecute=yes: W+X mappings, and making memory executable later
        {"mmap_wx", "EPERM"},
        {"mmap_rx", "0"},
        {"mmap_rw", "0"},
        {"mprotect_x", "EPERM"},
        {"mprotect_r", "0"},
        // SystemCallFilter=~@clock ..., and outside the allow list; SystemCallErrorNumber=EPERM
        {"adjtimex", "EPERM"},
        {"syslog", "EPERM"},
    };
    EXPECT_EQ(root.calls, expected) << Described(root);

    // The harness's own line (setpriv as the service's user, then the sandbox) gets the same.
    const ProbeRun asService = Probe(AsTheUnitStarts({}, UnitCapabilities()));
    ASSERT_TRUE(asService.result.Succeeded()) << Described(asService);
    EXPECT_EQ(Got(asService, "socket_inet"), "EAFNOSUPPORT") << Described(asService);
    EXPECT_EQ(Got(asService, "socket_netlink"), "0") << Described(asService);
    EXPECT_EQ(Got(asService, "socket_unix"), "0") << Described(asService);
    EXPECT_EQ(Got(asService, "mmap_wx"), "EPERM") << Described(asService);
    EXPECT_EQ(Got(asService, "adjtimex"), "EPERM") << Described(asService);
}

TEST(UnitSandbox, AUnitItCannotApplyIsAOneLineErrorAndStartsNothing) {
    const TempDir dir("corvane-unit");
    const std::map<std::string, std::string> bad = {
        {"unknown-group", "SystemCallFilter=@system-service @no-such-group\n"},
        {"unknown-call", "SystemCallFilter=@system-service not_a_system_call\n"},
        {"garbage", "SystemCallFilter=~@clock %$!\n"},
        {"unknown-errno", "SystemCallFilter=@system-service\nSystemCallErrorNumber=ENOTANERRNO\n"},
        {"unknown-family", "RestrictAddressFamilies=AF_UNIX AF_NO_SUCH\n"},
        {"not-a-boolean", "MemoryDenyWriteExecute=perhaps\n"},
        {"unknown-architecture", "SystemCallArchitectures=native pdp11\n"},
        {"refuses-execve", "SystemCallFilter=~execve\n"},
    };
    std::vector<fs::path> units;
    for (const auto& [name, service] : bad) units.push_back(WriteUnit(dir, name + ".service", service));
    units.push_back(dir.Path() / "missing.service");
    for (const fs::path& unit : units) {
        const fs::path marker = dir.Path() / "ran";
        std::vector<std::string> command = Sandbox(unit);
        command.insert(command.end(), {"/usr/bin/touch", marker.string()});
        const CommandResult result = testing::Run(command, kEnv);
        EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 2)
            << unit.filename() << ": status " << result.status << ": " << result.out;
        EXPECT_THAT(result.out, StartsWith("corvane-unit-sandbox: ")) << unit.filename();
        EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << unit.filename() << ": " << result.out;
        EXPECT_FALSE(fs::exists(marker)) << unit.filename() << ": the program ran";
    }
}

}  // namespace
}  // namespace corvane::service::testing
