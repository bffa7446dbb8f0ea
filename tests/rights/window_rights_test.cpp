// The window runs with no rights of its own: started as an ordinary user (a member of the group
// "corvane" where it exists), whatever Qt plugin the user's environment slips into it holds no
// capabilities and cannot tear down a connection of the machine. The built binaries carry neither
// file capabilities nor set-ID bits, so no environment can make the window privileged.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/private_network.h"
#include "probe/rights_probe.h"

namespace {

namespace fs = std::filesystem;
using corvane::engine::testing::Connect;
using corvane::engine::testing::ConnectionError;
using corvane::engine::testing::EnterPrivateNetwork;
using corvane::engine::testing::Listen;
using corvane::engine::testing::LocalPort;
using corvane::engine::testing::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;
constexpr auto kDeadline = std::chrono::seconds(60);
constexpr char kSetpriv[] = "/usr/bin/setpriv";

// A private folder for one run of the window, the unprivileged user's own; removed at the end.
class UserFolder {
public:
    UserFolder() {
        std::string pattern = (fs::temp_directory_path() / "corvane-rights-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return;
        path_ = pattern;
        if (::chown(path_.c_str(), kNobody, kNogroup) != 0) path_.clear();
    }
    UserFolder(const UserFolder&) = delete;
    UserFolder& operator=(const UserFolder&) = delete;
    ~UserFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    bool Valid() const { return !path_.empty(); }
    // A folder below, the user's, mode 0700.
    std::string Make(const std::string& name) const {
        const fs::path dir = path_ / name;
        if (::mkdir(dir.c_str(), 0700) != 0 || ::chown(dir.c_str(), kNobody, kNogroup) != 0) return {};
        return dir.string();
    }
    fs::path Path() const { return path_; }

private:
    fs::path path_;
};

// A started process, ended (SIGKILL) and collected when the test leaves it running.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (pid_ > 0) {
            static_cast<void>(::kill(pid_, SIGKILL));
            static_cast<void>(::waitpid(pid_, nullptr, 0));
        }
    }

    // Empty on success, else why not.
    std::string Start(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const auto& variable : environment) envp.push_back(const_cast<char*>(variable.c_str()));
        envp.push_back(nullptr);
        const int error = ::posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data());
        if (error != 0) {
            pid_ = -1;
            return std::string("posix_spawn: ") + std::strerror(error);
        }
        return {};
    }

    pid_t Pid() const { return pid_; }

    // True while the process runs; once it ended, its wait status is kept.
    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == 0) return true;
        if (done == pid_) status_ = status;
        pid_ = -1;
        return false;
    }

    // Sends `signal` and waits (up to the deadline) for the end; the wait status, or nothing.
    std::optional<int> End(int signal) {
        if (pid_ > 0 && ::kill(pid_, signal) != 0) return std::nullopt;
        const auto until = Clock::now() + kDeadline;
        while (Running()) {
            if (Clock::now() > until) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }

    std::optional<int> Status() const { return status_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

std::string DescribeStatus(std::optional<int> status) {
    if (!status) return "not collected";
    if (WIFEXITED(*status)) return "exit " + std::to_string(WEXITSTATUS(*status));
    if (WIFSIGNALED(*status)) return std::string("signal ") + ::strsignal(WTERMSIG(*status));
    return "status " + std::to_string(*status);
}

// The window's environment beyond the plugin selection: its own folders, the offscreen platform,
// buses that do not exist (no service is needed to start), and the sanitizers' options of the test.
std::vector<std::string> WindowEnvironment(const UserFolder& folder, const std::string& home,
                                           const std::string& runtime) {
    std::vector<std::string> environment = {
        "PATH=/usr/bin:/bin",
        "HOME=" + home,
        "USER=nobody",
        "CORVANE_ROOT=" + (folder.Path() / "root").string(),
        "XDG_RUNTIME_DIR=" + runtime,
        "TMPDIR=" + runtime,
        "QT_QPA_PLATFORM=offscreen",
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (folder.Path() / "no-system-bus").string(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (folder.Path() / "no-session-bus").string(),
    };
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) environment.push_back(std::string(name) + "=" + value);
    }
    return environment;
}

// setpriv's arguments for the unprivileged user: nobody, in the group "corvane" where it exists
// (a member may control the service, and must still get no rights in the window).
std::vector<std::string> AsOrdinaryUser() {
    std::vector<std::string> arguments = {kSetpriv, "--reuid=" + std::to_string(kNobody),
                                          "--regid=" + std::to_string(kNogroup)};
    if (const group* controllers = ::getgrnam("corvane"))
        arguments.push_back("--groups=" + std::to_string(controllers->gr_gid));
    else
        arguments.push_back("--clear-groups");
    arguments.push_back("--");
    return arguments;
}

struct PluginCase {
    const char* kind;      // the plugin's folder below the plugins root, and the name it records
    const char* selector;  // the variable that picks the plugin by key, or nullptr
};

void PrintTo(const PluginCase& plugin, std::ostream* out) { *out << plugin.kind; }

class WindowPluginRights : public ::testing::TestWithParam<PluginCase> {
protected:
    static void SetUpTestSuite() { networkProblem_ = EnterPrivateNetwork(); }
    static inline std::string networkProblem_;
};

// The teardown the window's plugins attempt, done here as root, succeeds: the probe asks for the
// right connection, so a refusal in the window is the kernel saying no, not a wrong request.
TEST_F(WindowPluginRights, ProbeTearsDownWithTheCapability) {
    ASSERT_EQ(networkProblem_, "");
    UniqueFd listener = Listen("127.0.0.1");
    ASSERT_TRUE(listener.Valid());
    UniqueFd client = Connect("127.0.0.1", LocalPort(listener.Get()));
    ASSERT_TRUE(client.Valid());

    // Another connection's ports are not this one's.
    EXPECT_EQ(corvane::rights::TryTeardown(LocalPort(client.Get()),
                                           static_cast<std::uint16_t>(LocalPort(listener.Get()) + 1)),
              ENOENT);
    EXPECT_EQ(ConnectionError(client.Get()), 0);

    EXPECT_EQ(corvane::rights::TryTeardown(LocalPort(client.Get()), LocalPort(listener.Get())), 0);
    EXPECT_EQ(ConnectionError(client.Get()), ECONNABORTED);
}

TEST_P(WindowPluginRights, PluginInTheWindowHasNoRights) {
    ASSERT_EQ(networkProblem_, "");
    const PluginCase plugin = GetParam();
    UserFolder folder;
    ASSERT_TRUE(folder.Valid());
    const std::string home = folder.Make("home");
    const std::string runtime = folder.Make("run");
    ASSERT_FALSE(folder.Make("root").empty());
    const std::string records = folder.Make("records");
    ASSERT_FALSE(home.empty() || runtime.empty() || records.empty());
    const std::string record = records + "/record";

    // A connection of the test's own, in the network namespace the window shares.
    UniqueFd listener = Listen("127.0.0.1");
    ASSERT_TRUE(listener.Valid());
    UniqueFd client = Connect("127.0.0.1", LocalPort(listener.Get()));
    ASSERT_TRUE(client.Valid());

    std::vector<std::string> environment = WindowEnvironment(folder, home, runtime);
    environment.push_back(std::string("QT_PLUGIN_PATH=") + CORVANE_RIGHTS_PLUGINS + "/" + plugin.kind);
    if (plugin.selector != nullptr) environment.push_back(std::string(plugin.selector) + "=corvanetest");
    environment.push_back("CORVANE_RIGHTS_RECORD=" + record);
    environment.push_back("CORVANE_RIGHTS_TARGET=" + std::to_string(LocalPort(client.Get())) + " " +
                          std::to_string(LocalPort(listener.Get())));

    std::vector<std::string> arguments = AsOrdinaryUser();
    arguments.push_back(CORVANE_BINARY);
    ChildProcess window;
    ASSERT_EQ(window.Start(arguments, environment), "");

    // The plugin writes its record once loaded; the window keeps running meanwhile.
    const auto until = Clock::now() + kDeadline;
    while (!fs::exists(record) && window.Running() && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(record)) << "the " << plugin.kind << " plugin left no record; the window "
                                    << (window.Running() ? "still runs" : "ended: " + DescribeStatus(window.Status()));

    struct stat recordStatus {};
    ASSERT_EQ(::lstat(record.c_str(), &recordStatus), 0);
    EXPECT_EQ(recordStatus.st_uid, kNobody) << "the record was not written by the unprivileged user";
    const auto values = corvane::rights::ReadRecord(record);
    EXPECT_EQ(values.count("plugin") ? values.at("plugin") : "", plugin.kind);
    // Loaded inside the window itself (setpriv replaced itself with it).
    EXPECT_EQ(values.count("pid") ? values.at("pid") : "", std::to_string(window.Pid()));
    EXPECT_EQ(values.count("exe") ? values.at("exe") : "", fs::canonical(CORVANE_BINARY).string());
    EXPECT_EQ(values.count("uid") ? values.at("uid") : "", std::to_string(kNobody));
    for (const char* set : {"CapEff", "CapPrm", "CapAmb"})
        EXPECT_EQ(values.count(set) ? values.at(set) : "", "0000000000000000") << set;
    // The kernel found the connection and refused to tear it down: it still works.
    EXPECT_EQ(values.count("teardown") ? values.at("teardown") : "", std::to_string(EPERM));
    EXPECT_EQ(ConnectionError(client.Get()), 0);

    const std::optional<int> status = window.End(SIGTERM);
    EXPECT_TRUE(status.has_value()) << "the window did not end after SIGTERM";
}

INSTANTIATE_TEST_SUITE_P(EveryPluginKind, WindowPluginRights,
                         ::testing::Values(PluginCase{"style", "QT_STYLE_OVERRIDE"}, PluginCase{"imageformat", nullptr},
                                           PluginCase{"generic", "QT_QPA_GENERIC_PLUGINS"},
                                           PluginCase{"iconengine", nullptr}),
                         [](const ::testing::TestParamInfo<PluginCase>& info) { return std::string(info.param.kind); });

// No environment makes the window privileged: the built programs carry neither file capabilities
// nor set-user-ID or set-group-ID bits (the service gets its capabilities from its unit alone).
TEST(BuiltProgramRights, NoFileCapabilitiesNorSetIdBits) {
    for (const char* program : {CORVANE_BINARY, CORVANED_BINARY, CORVANECTL_BINARY}) {
        struct stat status {};
        ASSERT_EQ(::stat(program, &status), 0) << program;
        EXPECT_EQ(status.st_mode & (S_ISUID | S_ISGID), 0U) << program << " has a set-ID bit";
        errno = 0;
        const ssize_t size = ::getxattr(program, "security.capability", nullptr, 0);
        EXPECT_EQ(size, -1) << program << " has file capabilities";
        EXPECT_EQ(errno, ENODATA) << program;
    }
}

}  // namespace
