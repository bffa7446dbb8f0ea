// The one-instance lock against other local users: without a session runtime folder the lock lives in
// the shared temporary folder, where anyone may have been first.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_mutex.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

// Runs a shell command as the unprivileged user nobody; its exit code.
int AsNobody(const std::string& command) {
    const std::string line = "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '" + command + "'";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Saves and sets an environment variable for one test; unset when value is null.
class ScopedEnv {
public:
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old, had_ = true;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_.c_str(), previous_.c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::string previous_;
    bool had_ = false;
};

// A scene without a runtime folder: a shared temporary folder anyone can write (mode 1777), and a home.
class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to play another user (setpriv)";
        std::string pattern = (fs::temp_directory_path() / "corvane-lock-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        fs::permissions(base_, fs::perms(0755));
        fs::create_directory(base_ / "tmp");
        fs::permissions(base_ / "tmp", fs::perms(01777));
        fs::create_directory(base_ / "home");
        fs::permissions(base_ / "home", fs::perms(0700));
        env_.push_back(std::make_unique<ScopedEnv>("CORVANE_ROOT", nullptr));
        env_.push_back(std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", nullptr));
        env_.push_back(std::make_unique<ScopedEnv>("TMPDIR", (base_ / "tmp").c_str()));
        env_.push_back(std::make_unique<ScopedEnv>("HOME", (base_ / "home").c_str()));
    }
    void TearDown() override {
        if (holder_ > 0) {
            ::kill(-holder_, SIGKILL);
            ::waitpid(holder_, nullptr, 0);
        }
        env_.clear();
        std::error_code ignored;
        if (!base_.empty()) fs::remove_all(base_, ignored);
    }

    fs::path SharedFolder() const { return base_ / "tmp" / ("corvane-" + std::to_string(::geteuid())); }
    fs::path HomeFolder() const { return base_ / "home" / ".cache" / "corvane"; }

    fs::path base_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
    pid_t holder_ = -1;
};

TEST_F(InstanceLockTest, MakesItsOwnPrivateFolderAndLetsOnlyOneHolderIn) {
    NamedMutex first("Corvane");
    ASSERT_TRUE(first.Held()) << first.Result();
    EXPECT_EQ(first.Path(), (SharedFolder() / "Corvane.lock").string());
    EXPECT_TRUE(first.Notes().empty());
    struct stat info {};
    ASSERT_EQ(::lstat(SharedFolder().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());

    NamedMutex second("Corvane");
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(second.Result(), kErrorAlreadyExists);
    EXPECT_TRUE(NamedMutexHeldElsewhere("Corvane"));
}

TEST_F(InstanceLockTest, AFolderOfItsOwnThatOthersMayEnterIsRefused) {
    fs::create_directory(SharedFolder());
    fs::permissions(SharedFolder(), fs::perms(0755));
    NamedMutex mutex("Corvane");
    ASSERT_TRUE(mutex.Held()) << mutex.Result();
    EXPECT_EQ(mutex.Path(), (HomeFolder() / "Corvane.lock").string());
    ASSERT_EQ(mutex.Notes().size(), 1u);
    EXPECT_NE(mutex.Notes()[0].find(SharedFolder().string()), std::string::npos) << mutex.Notes()[0];
    EXPECT_FALSE(fs::exists(SharedFolder() / "Corvane.lock"));
}

// Another user plants the folder with a link named like the lock file, pointing at a file of their
// choice: the program must neither create nor open that file, and still runs one instance.
TEST_F(InstanceLockTest, ALinkPlantedByAnotherUserIsNotFollowed) {
    const fs::path target = base_ / "made-through-the-link";
    const fs::path existing = base_ / "existing";
    std::ofstream(existing) << "keep";
    ASSERT_EQ(AsNobody("mkdir -m 0777 " + SharedFolder().string() + " && ln -s " + target.string() + " " +
                       (SharedFolder() / "Corvane.lock").string()),
              0);
    {
        NamedMutex mutex("Corvane");
        ASSERT_TRUE(mutex.Held()) << mutex.Result();
        EXPECT_FALSE(fs::exists(target));
        EXPECT_EQ(mutex.Path(), (HomeFolder() / "Corvane.lock").string());
        EXPECT_FALSE(mutex.Notes().empty());
        // The fallback is one place for every start: a second start still finds the first.
        EXPECT_FALSE(NamedMutex("Corvane").Held());
    }

    // The same with a folder the other user made private to themselves, linking to an existing file.
    ASSERT_EQ(AsNobody("rm -r " + SharedFolder().string() + " && mkdir -m 0700 " + SharedFolder().string() +
                       " && ln -s " + existing.string() + " " + (SharedFolder() / "Corvane.lock").string()),
              0);
    NamedMutex mutex("Corvane");
    ASSERT_TRUE(mutex.Held()) << mutex.Result();
    std::string content;
    std::getline(std::ifstream(existing), content);
    EXPECT_EQ(content, "keep");
    EXPECT_EQ(mutex.Path(), (HomeFolder() / "Corvane.lock").string());
}

// The other user removes the folder after the first start went to the fallback: a second start that
// can use the shared folder again must still find the first.
TEST_F(InstanceLockTest, AFolderTheOtherUserRemovesLaterDoesNotLetASecondInstanceIn) {
    ASSERT_EQ(AsNobody("mkdir -m 0777 " + SharedFolder().string()), 0);
    NamedMutex first("Corvane");
    ASSERT_TRUE(first.Held()) << first.Result();
    ASSERT_EQ(first.Path(), (HomeFolder() / "Corvane.lock").string());
    ASSERT_EQ(AsNobody("rmdir " + SharedFolder().string()), 0);

    NamedMutex second("Corvane");
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(second.Result(), kErrorAlreadyExists);
    EXPECT_TRUE(NamedMutexHeldElsewhere("Corvane"));
}

// Another user makes the folder with a lock file and holds a lock on it: the program must still start.
TEST_F(InstanceLockTest, ALockHeldByAnotherUserDoesNotStopTheStart) {
    const fs::path lock = SharedFolder() / "Corvane.lock";
    const fs::path ready = base_ / "tmp" / "holding";
    ASSERT_EQ(AsNobody("mkdir -m 0755 " + SharedFolder().string() + " && touch " + lock.string() + " && chmod 0666 " +
                       lock.string()),
              0);
    holder_ = ::fork();
    ASSERT_GE(holder_, 0);
    if (holder_ == 0) {
        ::setpgid(0, 0);
        const std::string script = "touch " + ready.string() + "; exec sleep 120";
        ::execlp("setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "flock", "-x", lock.c_str(),
                 "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!fs::exists(ready) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(ready)) << "the other user's lock was not taken";
    struct stat info {};
    ASSERT_EQ(::stat(lock.c_str(), &info), 0);
    ASSERT_EQ(info.st_uid, kNobody);

    NamedMutex mutex("Corvane");
    ASSERT_TRUE(mutex.Held()) << mutex.Result();
    EXPECT_EQ(mutex.Path(), (HomeFolder() / "Corvane.lock").string());
    EXPECT_FALSE(NamedMutex("Corvane").Held());
}

}  // namespace
}  // namespace corvane::platform
