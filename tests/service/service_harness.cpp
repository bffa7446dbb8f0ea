#include "service_harness.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#ifndef CORVANED_BINARY
#error "CORVANED_BINARY names the built service"
#endif
#ifndef CORVANE_REG_TOOL
#error "CORVANE_REG_TOOL names the built corvane-reg"
#endif
#ifndef CORVANE_DBUS_POLICY
#error "CORVANE_DBUS_POLICY names the package's bus policy file"
#endif
#ifndef CORVANE_UNIT_SANDBOX
#error "CORVANE_UNIT_SANDBOX names the built corvane-unit-sandbox (tests/support)"
#endif
#ifndef CORVANE_UNIT_FILE
#error "CORVANE_UNIT_FILE names the package's unit file, corvaned.service"
#endif
#ifndef CORVANE_SYSTEM_BUS_CONFIG
#error "CORVANE_SYSTEM_BUS_CONFIG names the system-like bus configuration, packaging/dbus/system-bus.conf.in"
#endif

namespace corvane::service::testing {

namespace fs = std::filesystem;
using platform::UniqueFd;

namespace {

constexpr char kPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
constexpr char kSettingsKey[] = "HKLM\\Software\\Corvane";

std::string Tool(const std::string& name) {
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"}) {
        const std::string path = std::string(dir) + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return name;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool WriteFile(const fs::path& path, const std::string& content, mode_t mode) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd.Valid()) return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t wrote = ::write(fd.Get(), content.data() + done, content.size() - done);
        if (wrote <= 0) return false;
        done += static_cast<std::size_t>(wrote);
    }
    return ::fchmod(fd.Get(), mode) == 0;
}

// Puts `value` in place of every `placeholder` in `text`; false when there is none.
bool ReplaceAll(std::string& text, std::string_view placeholder, const std::string& value) {
    bool found = false;
    for (std::size_t at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
        found = true;
    }
    return found;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

// argv and envp for execve, made before the fork.
struct ExecArgs {
    std::vector<std::string> strings;
    std::vector<char*> argv;
    std::vector<char*> envp;
    ExecArgs(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
    }
};

// The child's side after the fork: only async-signal-safe calls.
[[noreturn]] void ExecChild(const ExecArgs& exec, int output, const std::vector<std::string>& unmounted = {}) {
    // Ends with the test, should the test end without its destructors (a change of user clears it).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!unmounted.empty()) {
        // Its own mounts, changed without reaching the test's.
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            ::_exit(126);
        for (const std::string& path : unmounted) {
            if (::umount2(path.c_str(), MNT_DETACH) != 0) ::_exit(126);
        }
    }
    const int input = ::open("/dev/null", O_RDONLY);
    if (input >= 0) ::dup2(input, 0);
    if (output >= 0) {
        ::dup2(output, 1);
        ::dup2(output, 2);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(exec.argv[0], exec.argv.data(), exec.envp.data());
    ::_exit(127);
}

}  // namespace

std::optional<uid_t> UserId(const std::string& name) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return found->pw_uid;
}

std::optional<gid_t> GroupId(const std::string& name) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return found->gr_gid;
}

std::string EnsureServiceAccounts() {
    const std::vector<std::string> env = {kPath};
    if (!GroupId(kControlGroup)) {
        const CommandResult made = Run({Tool("addgroup"), "--system", kControlGroup}, env);
        if (!GroupId(kControlGroup)) return "addgroup --system corvane failed: " + made.out;
    }
    if (!UserId(kServiceUser)) {
        const CommandResult made = Run(
            {Tool("adduser"), "--system", "--group", "--no-create-home", "--home", "/nonexistent", kServiceUser}, env);
        if (!UserId(kServiceUser)) return "adduser --system corvaned failed: " + made.out;
    }
    return {};
}

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    path_ = pattern;
    // Other users (the service, clients) pass through; only the test lists or changes it.
    static_cast<void>(::chmod(path_.c_str(), 0711));
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code error;
    fs::remove_all(path_, error);
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), reaped_(other.reaped_), status_(other.status_) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        Child gone(std::move(*this));
        pid_ = std::exchange(other.pid_, -1);
        reaped_ = other.reaped_;
        status_ = other.status_;
    }
    return *this;
}

Child::~Child() {
    if (pid_ <= 0 || reaped_) return;
    static_cast<void>(::kill(pid_, SIGKILL));
    int status = 0;
    static_cast<void>(::waitpid(pid_, &status, 0));
}

Child Child::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env, const fs::path& log,
                   const std::vector<std::string>& unmounted) {
    const ExecArgs exec(argv, env);
    const UniqueFd output(
        ::open(log.empty() ? "/dev/null" : log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    Child child;
    const pid_t pid = ::fork();
    if (pid == 0) ExecChild(exec, output.Get(), unmounted);
    child.pid_ = pid;
    return child;
}

bool Child::Running() {
    if (pid_ <= 0 || reaped_) return false;
    const pid_t got = ::waitpid(pid_, &status_, WNOHANG);
    if (got == pid_) reaped_ = true;
    return !reaped_;
}

bool Child::Signal(int signal) const { return pid_ > 0 && !reaped_ && ::kill(pid_, signal) == 0; }

std::optional<int> Child::Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Running()) {
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
    if (!reaped_) return std::nullopt;
    return status_;
}

std::vector<std::string> Cgroup2MountPoints() {
    std::vector<std::string> points;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        // "36 25 0:30 / /sys/fs/cgroup/unified rw,… - cgroup2 cgroup2 rw": the fifth field.
        const std::size_t separator = line.find(" - cgroup2 ");
        if (separator == std::string::npos) continue;
        std::istringstream fields(line.substr(0, separator));
        std::string field;
        for (int i = 0; i < 5 && fields >> field; ++i) {
        }
        if (!field.empty() && field.find('\\') == std::string::npos) points.push_back(field);
    }
    return points;
}

std::vector<std::string> UnitCapabilities() {
    std::ifstream unit(CORVANE_UNIT_FILE);
    if (!unit) throw std::runtime_error("cannot read " CORVANE_UNIT_FILE);
    constexpr std::string_view kKey = "AmbientCapabilities=";
    std::vector<std::string> capabilities;
    std::string line;
    while (std::getline(unit, line)) {
        if (!line.starts_with(kKey)) continue;
        // As in systemd: later lines add to earlier ones, an empty one clears them.
        if (line.find_first_not_of(" \t", kKey.size()) == std::string::npos) {
            capabilities.clear();
            continue;
        }
        std::istringstream names(line.substr(kKey.size()));
        std::string name;
        while (names >> name) {
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (!name.starts_with("cap_"))
                throw std::runtime_error(CORVANE_UNIT_FILE ": AmbientCapabilities= names " + name +
                                         ", which setpriv would not take");
            capabilities.push_back(name.substr(4));
        }
    }
    if (capabilities.empty()) throw std::runtime_error(CORVANE_UNIT_FILE ": no AmbientCapabilities=");
    return capabilities;
}

std::vector<std::string> AsTheUnitStarts(const std::vector<std::string>& argv,
                                         const std::vector<std::string>& capabilities) {
    std::string raised;  // "+net_admin,+bpf,…"
    for (const std::string& capability : capabilities) raised += (raised.empty() ? "+" : ",+") + capability;
    const std::string kept = raised.empty() ? "-all" : raised;
    // setpriv sets no_new_privs, which the sandbox's seccomp filter needs (the unit has NoNewPrivileges=yes);
    // the sandbox then installs the unit's filter and execs the program under it.
    std::vector<std::string> command = {Tool("setpriv"),
                                        "--reuid=" + std::string(kServiceUser),
                                        "--regid=" + std::string(kServiceUser),
                                        "--init-groups",
                                        "--inh-caps=" + kept,
                                        "--ambient-caps=" + kept,
                                        "--bounding-set=-all" + (raised.empty() ? "" : "," + raised),
                                        "--no-new-privs",
                                        "--",
                                        CORVANE_UNIT_SANDBOX,
                                        "--unit",
                                        CORVANE_UNIT_FILE,
                                        "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

bool CommandResult::Succeeded() const { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

CommandResult Run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  std::chrono::milliseconds limit) {
    CommandResult result;
    int ends[2] = {-1, -1};
    if (::pipe2(ends, O_CLOEXEC) != 0) return result;
    UniqueFd readEnd(ends[0]);
    UniqueFd writeEnd(ends[1]);
    const ExecArgs exec(argv, env);
    const pid_t pid = ::fork();
    if (pid == 0) ExecChild(exec, writeEnd.Get());
    writeEnd.Reset();
    if (pid < 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                               std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd watch{readEnd.Get(), POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t got = ::read(readEnd.Get(), buffer, sizeof buffer);
        if (got <= 0) break;
        result.out.append(buffer, static_cast<std::size_t>(got));
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
        result.status = status;
        return result;
    }
    // Output closed early, or out of time: a moment more, then it is ended.
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            result.status = status;
            return result;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(10ms);
    }
    static_cast<void>(::kill(pid, SIGKILL));
    static_cast<void>(::waitpid(pid, &status, 0));
    result.out += "\n(ended: out of time)";
    return result;
}

PrivateSystemBus::~PrivateSystemBus() = default;

std::string PrivateSystemBus::Start(BusPolicy policy) {
    dir_.emplace("corvane-bus");
    if (dir_->Path().empty()) return "no temporary folder";
    const fs::path socket = dir_->Path() / "system_bus_socket";
    const fs::path config = dir_->Path() / "system.conf";
    std::string text = ReadFile(CORVANE_SYSTEM_BUS_CONFIG);
    std::string extra;
    if (policy == BusPolicy::kOpenToAll) {
        extra = R"(<policy context="default">
    <allow send_destination="org.corvane.Corvane1"/>
    <allow receive_sender="org.corvane.Corvane1"/>
  </policy>)";
    }
    if (!ReplaceAll(text, "@SOCKET@", socket.string()) || !ReplaceAll(text, "@POLICY@", CORVANE_DBUS_POLICY) ||
        !ReplaceAll(text, "@EXTRA_POLICY@", extra))
        return CORVANE_SYSTEM_BUS_CONFIG " is unreadable or lacks @SOCKET@, @POLICY@ or @EXTRA_POLICY@";
    if (!WriteFile(config, text, 0600)) return "cannot write " + config.string();
    address_ = "unix:path=" + socket.string();
    return Launch();
}

std::string PrivateSystemBus::Restart() {
    if (!daemon_.Signal(SIGTERM) || !daemon_.Wait(20s)) return "dbus-daemon did not end";
    std::error_code error;
    fs::remove(dir_->Path() / "system_bus_socket", error);
    return Launch();
}

std::string PrivateSystemBus::Launch() {
    const fs::path socket = dir_->Path() / "system_bus_socket";
    const fs::path config = dir_->Path() / "system.conf";
    daemon_ = Child::Start({Tool("dbus-daemon"), "--config-file=" + config.string(), "--nofork", "--nopidfile",
                            "--nosyslog"},
                           {kPath}, dir_->Path() / "dbus-daemon.log");
    if (!daemon_.Valid()) return "dbus-daemon did not start";
    // Ready once its socket accepts.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!daemon_.Running()) return "dbus-daemon ended: " + ReadFile(dir_->Path() / "dbus-daemon.log");
        const UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        std::strncpy(where.sun_path, socket.c_str(), sizeof where.sun_path - 1);
        if (::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0) return {};
        std::this_thread::sleep_for(5ms);
    }
    return "dbus-daemon's socket never accepted";
}

ServiceUnderTest::ServiceUnderTest(const PrivateSystemBus& bus) : busAddress_(bus.Address()), root_("corvane-root") {
    serviceUid_ = UserId(kServiceUser).value_or(0);
    serviceGid_ = GroupId(kServiceUser).value_or(0);
    controlGid_ = GroupId(kControlGroup).value_or(0);
    clientUid_ = UserId(kClientUser).value_or(65534);
    std::error_code error;
    fs::create_directories(root_.Path() / "var/lib", error);
    // The administrator's folder, as the package leaves it: root's, readable by all.
    fs::create_directories(ListsDir(), error);
    for (const fs::path& folder : {root_.Path() / "etc", root_.Path() / "etc/corvane", ListsDir()})
        static_cast<void>(::chmod(folder.c_str(), 0755));
    const fs::path state = StateDir();
    // A folder the service cannot use makes its start fail, and the test with it; said here first.
    if (::mkdir(state.c_str(), 0700) == 0 && ::chown(state.c_str(), serviceUid_, serviceGid_) != 0)
        std::perror(("chown " + state.string()).c_str());
    // systemd's notification socket, as the service finds it in NOTIFY_SOCKET.
    notifyPath_ = root_.Path() / "notify";
    notify_ = UniqueFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    std::strncpy(where.sun_path, notifyPath_.c_str(), sizeof where.sun_path - 1);
    if (::bind(notify_.Get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) == 0)
        static_cast<void>(::chmod(notifyPath_.c_str(), 0666));
}

ServiceUnderTest::~ServiceUnderTest() = default;

fs::path ServiceUnderTest::StateDir() const { return root_.Path() / "var/lib/corvane"; }

fs::path ServiceUnderTest::ListsDir() const { return root_.Path() / "etc/corvane/lists.d"; }

std::string ServiceUnderTest::WriteList(const std::string& name, const std::string& content, mode_t mode) {
    const fs::path temporary = ListsDir() / (".new-" + name);
    UniqueFd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file.Valid()) return temporary.string() + ": " + std::strerror(errno);
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t wrote = ::write(file.Get(), content.data() + written, content.size() - written);
        if (wrote <= 0) return temporary.string() + ": " + std::strerror(errno);
        written += static_cast<std::size_t>(wrote);
    }
    if (::fchmod(file.Get(), mode) != 0) return temporary.string() + ": " + std::strerror(errno);
    file.Reset();
    if (::rename(temporary.c_str(), (ListsDir() / name).c_str()) != 0) return name + ": " + std::strerror(errno);
    return {};
}

std::vector<std::string> ServiceUnderTest::Environment() const {
    return {kPath, "CORVANE_ROOT=" + root_.Path().string(), "DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_,
            "NOTIFY_SOCKET=" + notifyPath_.string()};
}

std::vector<std::string> ServiceUnderTest::AsServiceUser(const std::vector<std::string>& argv) const {
    std::vector<std::string> command = {Tool("setpriv"), "--reuid=" + std::string(kServiceUser),
                                        "--regid=" + std::string(kServiceUser), "--init-groups", "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::vector<std::string> ServiceUnderTest::As(Caller caller, const std::vector<std::string>& argv) const {
    std::vector<std::string> command;
    if (caller == Caller::kMember) {
        command = {Tool("setpriv"), "--reuid=" + std::to_string(clientUid_), "--regid=" + std::to_string(clientUid_),
                   "--groups=" + std::to_string(controlGid_), "--"};
    } else if (caller == Caller::kOutsider) {
        command = {Tool("setpriv"), "--reuid=" + std::to_string(clientUid_), "--regid=" + std::to_string(clientUid_),
                   "--clear-groups", "--"};
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

std::string ServiceUnderTest::SetSetting(const std::string& name, const std::string& value) {
    const CommandResult set = Run(AsServiceUser({CORVANE_REG_TOOL, "set", kSettingsKey, name, "REG_SZ", value}),
                                  Environment());
    return set.Succeeded() ? std::string() : "corvane-reg set " + name + " failed: " + set.out;
}

std::optional<std::string> ServiceUnderTest::Setting(const std::string& name) {
    const CommandResult got = Run(AsServiceUser({CORVANE_REG_TOOL, "get", kSettingsKey, name}), Environment());
    if (!got.Succeeded()) return std::nullopt;
    return Trimmed(got.out);
}

std::string ServiceUnderTest::WriteDefinitions(const std::string& content) {
    const fs::path file = StateDir() / "qd.def";
    if (!WriteFile(file, content, 0644)) return "cannot write " + file.string();
    if (::chown(file.c_str(), serviceUid_, serviceGid_) != 0) return "cannot hand " + file.string() + " over";
    return {};
}

std::optional<std::string> ServiceUnderTest::ReadDefinitions() const {
    const fs::path file = StateDir() / "qd.def";
    std::error_code error;
    if (!fs::exists(file, error)) return std::nullopt;
    return ReadFile(file);
}

std::string ServiceUnderTest::Start(std::chrono::milliseconds limit) {
    static_cast<void>(Notifications());  // what an earlier run said is not this run's
    notifications_.clear();
    const std::vector<std::string> command = AsTheUnitStarts(
        {CORVANED_BINARY, "--state-dir", StateDir().string(), "--lists-dir", ListsDir().string()}, capabilities_);
    // A sanitizer build's leak check stops the threads with ptrace, which the unit's filter refuses
    // (the service itself never needs it): it is left to the tests that run the service's parts in
    // their own process.
    std::vector<std::string> environment = Environment();
    environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");
    process_ = Child::Start(command, environment, root_.Path() / "corvaned.log",
                            cgroupVisible_ ? std::vector<std::string>() : Cgroup2MountPoints());
    if (!process_.Valid()) return "corvaned did not start";
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& message : Notifications()) {
            if (message.find("READY=1") != std::string::npos) return {};
        }
        if (!process_.Running()) return "corvaned ended before it was ready:\n" + Output();
        pollfd watch{notify_.Get(), POLLIN, 0};
        static_cast<void>(::poll(&watch, 1, 20));
    }
    return "corvaned was not ready in time:\n" + Output();
}

std::vector<std::string> ServiceUnderTest::Notifications() {
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(notify_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) break;
        notifications_.emplace_back(buffer, static_cast<std::size_t>(got));
    }
    return notifications_;
}

std::string ServiceUnderTest::Output() const { return ReadFile(root_.Path() / "corvaned.log"); }

CommandResult ServiceUnderTest::Call(Caller caller, const std::string& method, const std::vector<std::string>& arguments) {
    std::vector<std::string> command = {Tool("dbus-send"),
                                        "--system",
                                        "--print-reply",
                                        "--reply-timeout=20000",
                                        "--dest=org.corvane.Corvane1",
                                        "/org/corvane/Corvane1",
                                        method.find('.') == std::string::npos
                                            ? "org.corvane.Corvane1.Protection." + method
                                            : method};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return Run(As(caller, command), Environment());
}

CommandResult ServiceUnderTest::GetProperty(Caller caller, const std::string& name) {
    return Call(caller, "org.freedesktop.DBus.Properties.Get",
                {"string:org.corvane.Corvane1.Protection", "string:" + name});
}

}  // namespace corvane::service::testing
