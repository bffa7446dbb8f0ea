// The persistent settings: defaults on a fresh machine, start-up's reading rules, saving the count.
#include <gtest/gtest.h>

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
    static void store(const std::string& name, const std::string& text) {
        RegistryRoutines r = corvane_key();
        if (!r.KeyExists()) {
            ASSERT_EQ(r.CreateKey(), "0");
        }
        ASSERT_TRUE(r.SetRegistryValue(name, text, 1));
    }
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
        store("Run", c.run);
        store("Tray", c.tray);
        store("Attempts", c.attempts);
        const StartupSettings startup = ReadStartupSettings();
        EXPECT_EQ(startup.protection_on, c.protection_on) << c.run;
        EXPECT_EQ(startup.start_in_tray, c.start_in_tray) << c.tray;
        EXPECT_EQ(startup.blocked_count, c.count) << c.attempts;
    }
    // An empty stored text reads as absent: the default.
    store("Run", "");
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

TEST_F(Settings, BootValueIsAnAutostartEntryDeletedThroughTheTrailingBackslashKey) {
    EnsureSettingKey(Setting::BootWithWindows);
    ASSERT_TRUE(WriteSetting(Setting::BootWithWindows, "/opt/corvane/corvane"s));
    EXPECT_TRUE(std::filesystem::exists(autostart() / "Corvane.desktop"));
    EXPECT_EQ(ReadSetting(Setting::BootWithWindows), RegistryVariant("/opt/corvane/corvane"s));
    EXPECT_EQ(DeleteSetting(Setting::BootWithWindows), 0);
    EXPECT_FALSE(std::filesystem::exists(autostart() / "Corvane.desktop"));
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
