#pragma once
// corvaned as the machine runs it, for tests: a private bus set up like the system bus with the
// package's policy, the service started the way its unit starts it (its own system user, only the
// capabilities it needs, no new privileges) under a private settings root, and clients as root, as
// a member of the control group and as an outsider.
//
// The test process should be in a private network namespace of its own before it starts anything
// here (EnterPrivateNetwork in tests/engine/private_network.h): the service and its bus inherit it,
// and connections the test makes are then the service's to tear down.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace corvane::service::testing {

using namespace std::chrono_literals;

inline constexpr char kServiceUser[] = "corvaned";
inline constexpr char kControlGroup[] = "corvane";
// Clients other than root run as this ordinary user (the bus needs an account for every caller):
// with the control group among their groups they are members, with no groups outsiders.
inline constexpr char kClientUser[] = "nobody";

// Creates the system user corvaned and the system group corvane when they are missing. Empty on
// success, else why not.
std::string EnsureServiceAccounts();
std::optional<uid_t> UserId(const std::string& name);
std::optional<gid_t> GroupId(const std::string& name);

// A folder of the test's own below the temporary folder, removed with everything in it at the end.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "corvane-svc");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A child process this test owns: killed and reaped when the object goes.
class Child {
public:
    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    // Runs argv with exactly `env` as its environment, standard output and error to `log` (or
    // /dev/null), in a mount namespace of its own without the mounts at `unmounted` when any are
    // named. An invalid Child when it could not be started.
    static Child Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                       const std::filesystem::path& log = {}, const std::vector<std::string>& unmounted = {});

    bool Valid() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    bool Running();
    bool Signal(int signal) const;
    // The exit status as waitpid gives it, or nullopt when still running at the deadline.
    std::optional<int> Wait(std::chrono::milliseconds limit);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

struct CommandResult {
    int status = -1;  // waitpid status; -1 when it could not run or did not end in time
    std::string out;  // standard output and error together
    bool Succeeded() const;
};
// Where this process sees the cgroup2 hierarchy mounted (every such mount).
std::vector<std::string> Cgroup2MountPoints();

// The unit's ambient capabilities (AmbientCapabilities= of packaging/systemd/corvaned.service) as
// setpriv names them: "net_admin", "bpf", …. Throws std::runtime_error when the unit cannot be read
// or names none.
std::vector<std::string> UnitCapabilities();

// The command line that starts `argv` the way corvaned's unit starts the service: as its own user and
// group, with only `capabilities` (as setpriv names them: "net_admin", …; none when empty), no new
// privileges, and under the unit's seccomp settings (SystemCallFilter=, RestrictAddressFamilies=,
// MemoryDenyWriteExecute=, … of packaging/systemd/corvaned.service, applied by tests/support's
// corvane-unit-sandbox as systemd would).
std::vector<std::string> AsTheUnitStarts(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& capabilities);

// Runs argv to its end with exactly `env`, at most `limit`.
CommandResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  std::chrono::milliseconds limit = 30s);

// The bus's policy: the package's, or one that lets every local user send to the service (to see
// the service's own refusal behind the bus's).
enum class BusPolicy { kPackage, kOpenToAll };

// dbus-daemon with a system bus's configuration (packaging/dbus/system-bus.conf.in, as scripts/run.sh
// starts it): EXTERNAL authentication, a default policy like Debian's system.conf, and the package's
// policy file for the service.
class PrivateSystemBus {
public:
    PrivateSystemBus() = default;
    ~PrivateSystemBus();
    // Empty on success, else why not.
    std::string Start(BusPolicy policy = BusPolicy::kPackage);
    // "unix:path=…", for DBUS_SYSTEM_BUS_ADDRESS.
    const std::string& Address() const { return address_; }
    // Ends the bus daemon and starts it again at the same address, as a restart of dbus.service does.
    std::string Restart();

private:
    std::string Launch();

    std::optional<TempDir> dir_;
    Child daemon_;
    std::string address_;
};

// Who calls.
enum class Caller { kRoot, kMember, kOutsider };

// corvaned under a private settings root (CORVANE_ROOT), its state folder owned by its user, mode
// 0700, started as its unit starts it (AsTheUnitStarts), with a notification socket of the test's own in
// place of systemd's.
class ServiceUnderTest {
public:
    explicit ServiceUnderTest(const PrivateSystemBus& bus);
    ~ServiceUnderTest();
    ServiceUnderTest(const ServiceUnderTest&) = delete;
    ServiceUnderTest& operator=(const ServiceUnderTest&) = delete;

    // Writes a value under HKLM\Software\Corvane as the service's user would (before Start, or to look
    // at it later). Empty on success, else why not.
    std::string SetSetting(const std::string& name, const std::string& value);
    // The stored value, or nullopt when absent or unreadable.
    std::optional<std::string> Setting(const std::string& name);
    // Puts `content` as qd.def in the state folder, owned by the service's user.
    std::string WriteDefinitions(const std::string& content);
    std::optional<std::string> ReadDefinitions() const;
    // The administrator's list folder the service is started with (made, root's, 0755), and a list
    // file in it, root's, with `mode`, replaced whole (renamed into place). Empty on success.
    std::filesystem::path ListsDir() const;
    std::string WriteList(const std::string& name, const std::string& content, mode_t mode = 0644);

    // The capabilities the next Start gives the service, as setpriv names them (its unit's by
    // default, UnitCapabilities()).
    void SetCapabilities(std::vector<std::string> capabilities) { capabilities_ = std::move(capabilities); }
    // Whether the next Start lets the service see the cgroup2 hierarchy (as its unit does, the
    // default). Hidden, in a mount namespace of its own, the service has nowhere to attach its
    // connect refusal: the teardown engines then meet every listed connection.
    void SetCgroupHierarchyVisible(bool visible) { cgroupVisible_ = visible; }

    // Starts the service and waits (up to `limit`) for READY=1 on the notification socket. Empty on
    // success, else why not, with the service's output.
    std::string Start(std::chrono::milliseconds limit = 30s);
    bool Running() { return process_.Running(); }
    pid_t Pid() const { return process_.Pid(); }
    bool Signal(int signal) const { return process_.Signal(signal); }
    std::optional<int> Wait(std::chrono::milliseconds limit) { return process_.Wait(limit); }
    // Status lines (STATUS=…) and other messages the service sent to the notification socket so far.
    std::vector<std::string> Notifications();
    // What the service wrote on standard output and error.
    std::string Output() const;

    // A method call through dbus-send as `caller`, with DBUS_SYSTEM_BUS_ADDRESS set.
    CommandResult Call(Caller caller, const std::string& method, const std::vector<std::string>& arguments = {});
    // Properties.Get through dbus-send as `caller`.
    CommandResult GetProperty(Caller caller, const std::string& name);

    const std::filesystem::path& Root() const { return root_.Path(); }
    std::filesystem::path StateDir() const;
    const std::string& BusAddress() const { return busAddress_; }

private:
    std::vector<std::string> Environment() const;
    std::vector<std::string> AsServiceUser(const std::vector<std::string>& argv) const;
    std::vector<std::string> As(Caller caller, const std::vector<std::string>& argv) const;

    std::string busAddress_;
    TempDir root_;
    uid_t serviceUid_ = 0;
    gid_t serviceGid_ = 0;
    gid_t controlGid_ = 0;
    uid_t clientUid_ = 0;
    platform::UniqueFd notify_;
    std::filesystem::path notifyPath_;
    std::vector<std::string> notifications_;
    std::vector<std::string> capabilities_ = UnitCapabilities();
    bool cgroupVisible_ = true;
    Child process_;
};

}  // namespace corvane::service::testing
