// The persistent settings: defaults on a fresh machine, start-up's reading rules, saving the count, and
// the user's own settings (start in the tray, start with the session) written by a user without root.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "../registry/temp_root.h"
#include "platform/registry.h"
#include "settings/settings_table.h"

namespace corvane::settings {
namespace {

using namespace std::string_literals;

class Settings : public testing::TempRootTest {
protected:
    static RegistryRoutines corvane_key() {
        RegistryRoutines r;
        r.set_hkey(kHkeyLocalMachine);
        r.set_KeyRoot("Software\\Corvane");
        return r;
    }
    static void store(Setting setting, const std::string& text) {
        EnsureSettingKey(setting);
        ASSERT_TRUE(WriteSetting(setting, text));
    }
    // The user's own folder under the test's root, as platform/paths.h names it.
    std::filesystem::path user_config(const char* user) const { return root_ / "home" / user / ".config"; }
};

TEST_F(Settings, FreshMachineStartsProtectedInTheTrayAtZeroAndCreatesTheKey) {
    EXPECT_FALSE(corvane_key().KeyExists());
    const StartupSettings startup = ReadStartupSettings();
    EXPECT_TRUE(startup.protection_on);
    EXPECT_TRUE(startup.start_in_tray);
    EXPECT_EQ(startup.blocked_count, 0);
    EXPECT_TRUE(corvane_key().KeyExists()) << "start-up creates the settings key";

    // The Options window's readers on a fresh machine.
    EXPECT_EQ(ReadSetting(Setting::BootWithWindows), RegistryVariant(""s));
    EXPECT_EQ(ReadSetting(Setting::DisableScriptDebugger), RegistryVariant("yes"s));
    EXPECT_EQ(ReadSettingNumber(Setting::Tray), 1);
}

TEST_F(Settings, StartupFollowsTheStoredTexts) {
    struct Case {
        const char* run;
        const char* tray;
        const char* attempts;
        bool protection_on;
        bool start_in_tray;
        std::int32_t count;
    };
    for (const Case& c : {Case{"0", "0", "17", false, false, 17}, Case{"1", "1", "0", true, true, 0},
                          Case{"2", "5", "-3", false, true, -3},        // only 1 means on
                          Case{"abc", "abc", "many", false, false, 0},  // a skipped conversion leaves 0
                          Case{" 1 ", "0", "2147483647", true, false, 2147483647}}) {
        store(Setting::Run, c.run);
        store(Setting::Tray, c.tray);
        store(Setting::Attempts, c.attempts);
        const StartupSettings startup = ReadStartupSettings();
        EXPECT_EQ(startup.protection_on, c.protection_on) << c.run;
        EXPECT_EQ(startup.start_in_tray, c.start_in_tray) << c.tray;
        EXPECT_EQ(startup.blocked_count, c.count) << c.attempts;
    }
    // An empty stored text reads as absent: the default.
    store(Setting::Run, "");
    EXPECT_TRUE(ReadStartupSettings().protection_on);
}

TEST_F(Settings, TheCountSurvivesARestartAsDecimalText) {
    EXPECT_FALSE(SaveAttempts(5)) << "writers do not create the key";
    ReadStartupSettings();  // creates it
    ASSERT_TRUE(SaveAttempts(18));
    platform::close_cached_hives();
    EXPECT_EQ(corvane_key().GetRegistryValue("Attempts"), RegistryVariant("18"s));
    EXPECT_EQ(ReadStartupSettings().blocked_count, 18);

    ASSERT_TRUE(SaveProtection(false));
    EXPECT_EQ(corvane_key().GetRegistryValue("Run"), RegistryVariant("0"s));
    EXPECT_FALSE(ReadStartupSettings().protection_on);
}

TEST_F(Settings, BootValueIsTheUsersAutostartEntryDeletedThroughTheTrailingBackslashKey) {
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(user, nullptr);
    const auto entry = user_config(user->pw_name) / "autostart/Corvane.desktop";
    EnsureSettingKey(Setting::BootWithWindows);
    ASSERT_TRUE(WriteSetting(Setting::BootWithWindows, "/opt/corvane/corvane"s));
    EXPECT_TRUE(std::filesystem::exists(entry));
    EXPECT_FALSE(std::filesystem::exists(autostart() / "Corvane.desktop")) << "the machine's folder is not the user's";
    EXPECT_EQ(ReadSetting(Setting::BootWithWindows), RegistryVariant("/opt/corvane/corvane"s));
    EXPECT_EQ(DeleteSetting(Setting::BootWithWindows), 0);
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(DeleteSetting(Setting::BootWithWindows), 2);
    EXPECT_EQ(ReadSetting(Setting::BootWithWindows), RegistryVariant(""s));
}

TEST_F(Settings, ScriptDebuggerValueLivesInTheUsersHive) {
    EXPECT_FALSE(WriteSetting(Setting::DisableScriptDebugger, "No"s));
    EnsureSettingKey(Setting::DisableScriptDebugger);
    ASSERT_TRUE(WriteSetting(Setting::DisableScriptDebugger, "No"s));
    EXPECT_EQ(ReadSetting(Setting::DisableScriptDebugger), RegistryVariant("No"s));
    RegistryRoutines machine;
    machine.set_hkey(kHkeyLocalMachine);
    machine.set_KeyRoot("Software\\Microsoft\\Internet Explorer\\Main");
    EXPECT_FALSE(machine.KeyExists());
}

// The settings a member of the group sets without root: "Tray" and start-with-the-session are the
// user's own. A child process turns into the unprivileged user nobody and sets them; the machine's
// store and folder stay untouched.
TEST_F(Settings, AUserWithoutRootSetsStartInTheTrayAndStartWithTheSession) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a part as another user";
    constexpr uid_t kNobody = 65534;
    const passwd* nobody = ::getpwuid(kNobody);
    ASSERT_NE(nobody, nullptr);
    // The machine's settings exist (root wrote them) and the user has a home of their own.
    store(Setting::Run, "1");
    const auto home = root_ / "home" / nobody->pw_name;
    std::filesystem::create_directories(home);
    ASSERT_EQ(::chown(home.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chmod(home.c_str(), 0700), 0);
    platform::close_cached_hives();

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Each failed step ends the child with its own number.
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(10);
        platform::close_cached_hives();
        if (!ReadStartInTray()) ::_exit(11);  // the default: in the tray
        EnsureSettingKey(Setting::Tray);
        if (!WriteSetting(Setting::Tray, "0"s)) ::_exit(12);
        if (ReadStartInTray()) ::_exit(13);
        EnsureSettingKey(Setting::BootWithWindows);
        if (!WriteSetting(Setting::BootWithWindows, "/opt/corvane/corvane"s)) ::_exit(14);
        if (ToText(ReadSetting(Setting::BootWithWindows)) != "/opt/corvane/corvane") ::_exit(15);
        // The machine's values stay out of reach.
        if (SaveProtection(false) || SaveAttempts(5)) ::_exit(16);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // The user's entry is the user's own and private; the machine's folder has none.
    struct stat info {};
    const auto entry = user_config(nobody->pw_name) / "autostart/Corvane.desktop";
    ASSERT_EQ(::stat(entry.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, kNobody);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(entry.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_FALSE(std::filesystem::exists(autostart() / "Corvane.desktop"));
    // Root's own "Tray" is root's: the user's choice did not change it.
    platform::close_cached_hives();
    EXPECT_TRUE(ReadStartInTray());
    EXPECT_EQ(ToText(corvane_key().GetRegistryValue("Run")), "1");
}

}  // namespace
}  // namespace corvane::settings

namespace corvane::settings {
namespace {

class EngineSetting : public testing::TempRootTest {};

TEST_F(EngineSetting, OnlyTheExactTextTimerKeepsToTheTimerEngine) {
    EXPECT_FALSE(ReadTimerEngineForced());  // absent: "auto"
    EXPECT_EQ(ToText(ReadSetting(Setting::Engine)), "auto");
    const auto store = [](const char* text) {
        EnsureSettingKey(Setting::Engine);
        ASSERT_TRUE(WriteSetting(Setting::Engine, RegistryVariant(std::string(text))));
    };
    store("timer");
    EXPECT_TRUE(ReadTimerEngineForced());
    for (const char* other : {"auto", "Timer", "timer ", " timer", "", "1"}) {
        store(other);
        EXPECT_FALSE(ReadTimerEngineForced()) << '"' << other << '"';
    }
    const SettingDefinition& definition = Definition(Setting::Engine);
    EXPECT_EQ(definition.root, kHkeyLocalMachine);
    EXPECT_EQ(definition.key, "Software\\Corvane");
    EXPECT_EQ(definition.name, "Engine");
}

}  // namespace
}  // namespace corvane::settings
