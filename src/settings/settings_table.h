#pragma once
// Every registry value the system keeps, in one table, and the reads and writes the windows make.
// All access goes through RegistryRoutines with a fresh instance per call.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "settings/registry_routines.h"

namespace corvane::settings {

enum class Setting { Run, Tray, Attempts, BootWithWindows, DisableScriptDebugger, UpdateServer, Engine };

struct SettingDefinition {
    Setting id;
    std::int32_t root;               // kHkeyLocalMachine or kHkeyCurrentUser
    std::string_view key;            // `KeyRoot` exactly as set
    std::string_view name;           // value name
    std::int32_t type;               // always 1 (REG_SZ)
    std::string_view default_value;  // what a reader gets when the value is absent
    std::string_view written_by;
    std::string_view read_by;
};

inline constexpr std::array<SettingDefinition, 7> kSettings = {{
    {Setting::Run, kHkeyLocalMachine, "Software\\Corvane", "Run", 1, "1", "protection switch: \"1\" on, \"0\" off",
     "start-up: 1 turns protection on"},
    {Setting::Tray, kHkeyCurrentUser, "Software\\Corvane", "Tray", 1, "1",
     "Options window (each user for themselves): \"1\" ticked, \"0\" cleared",
     "start-up: 0 shows the window; Options window: box state"},
    {Setting::Attempts, kHkeyLocalMachine, "Software\\Corvane", "Attempts", 1, "0",
     "shut-down: BlockedCount as decimal digits", "start-up: becomes BlockedCount"},
    {Setting::BootWithWindows, kHkeyCurrentUser, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run", "Corvane", 1, "",
     "Options window: full path of the running program when ticked (the user's own autostart entry), deleted "
     "when cleared",
     "Options window: any non-empty text ticks the box"},
    {Setting::DisableScriptDebugger, kHkeyCurrentUser, "Software\\Microsoft\\Internet Explorer\\Main",
     "Disable Script Debugger", 1, "yes", "Options window: \"yes\" ticked, \"No\" cleared",
     "Options window: ticked exactly when the text is \"yes\""},
    {Setting::UpdateServer, kHkeyLocalMachine, "Software\\Corvane", "UpdateServer", 1,
     "https://updates.corvane.example/", "the administrator (corvane-reg): base address of the update server",
     "update check and help page: base + \"cv/…\""},
    {Setting::Engine, kHkeyLocalMachine, "Software\\Corvane", "Engine", 1, "auto",
     "by hand: \"timer\" forces the 1 ms timer engine, \"auto\" lets the event engine run",
     "start-up: exactly \"timer\" keeps to the timer engine; any other text is \"auto\""},
}};

const SettingDefinition& Definition(Setting setting);

// Makes sure the setting's key exists (KeyExists, then CreateKey without a name), as the readers do.
void EnsureSettingKey(Setting setting);

// Ensures the key, then GetRegistryValue with the table's default.
RegistryVariant ReadSetting(Setting setting);

// The setting read as above and converted to an integer; nullopt when it is not a number.
std::optional<std::int32_t> ReadSettingNumber(Setting setting);

// SetRegistryValue with type 1 into the existing key (a missing key or no right fails, false).
bool WriteSetting(Setting setting, const RegistryVariant& value);

// DeleteValue of the setting (the Run-key value is deleted through its key with a trailing "\").
std::int32_t DeleteSetting(Setting setting);

// The start-up values, in this order: "Run" and "Attempts" are the machine's (the protection service's),
// "Tray" the user's.
struct StartupSettings {
    bool protection_on = true;       // "Run" is 1; any other number or a non-number: off
    bool start_in_tray = true;       // "Tray" is a number other than 0; a non-number shows the window
    std::int32_t blocked_count = 0;  // "Attempts"; a non-number gives 0
};
StartupSettings ReadStartupSettings();
// The three reads one by one (each ensures the key first), for a start-up that interleaves them
// with its other steps.
bool ReadProtectionAtStart();
bool ReadStartInTray();
std::int32_t ReadBlockedCount();

// Query-close: "Attempts" := count as decimal text. The result is for callers that care; the
// window ignores it.
bool SaveAttempts(std::int32_t blocked_count);

// "Engine" is exactly "timer": the event engine is not to run.
bool ReadTimerEngineForced();

// Protection switch: "Run" := "1" or "0".
bool SaveProtection(bool on);

}  // namespace corvane::settings
