#include "settings/settings_table.h"

namespace corvane::settings {

namespace {

RegistryRoutines routines_for(const SettingDefinition& definition) {
    RegistryRoutines routines;
    routines.set_hkey(definition.root);
    routines.set_KeyRoot(std::string(definition.key));
    return routines;
}

}  // namespace

const SettingDefinition& Definition(Setting setting) {
    for (const SettingDefinition& definition : kSettings) {
        if (definition.id == setting) return definition;
    }
    return kSettings.front();  // unreachable: every Setting has a row
}

void EnsureSettingKey(Setting setting) {
    const RegistryRoutines routines = routines_for(Definition(setting));
    // A key that cannot be created (no rights) leaves the readers on their defaults.
    if (!routines.KeyExists()) (void)routines.CreateKey();
}

RegistryVariant ReadSetting(Setting setting) {
    const SettingDefinition& definition = Definition(setting);
    EnsureSettingKey(setting);
    return routines_for(definition)
        .GetRegistryValue(std::string(definition.name), std::string(definition.default_value));
}

std::optional<std::int32_t> ReadSettingNumber(Setting setting) {
    try {
        return ToInt32(ReadSetting(setting));
    } catch (const RegistryConversionError&) {
        return std::nullopt;
    }
}

bool WriteSetting(Setting setting, const RegistryVariant& value) {
    const SettingDefinition& definition = Definition(setting);
    return routines_for(definition).SetRegistryValue(std::string(definition.name), value, definition.type);
}

std::int32_t DeleteSetting(Setting setting) {
    const SettingDefinition& definition = Definition(setting);
    RegistryRoutines routines = routines_for(definition);
    if (setting == Setting::BootWithWindows) routines.set_KeyRoot(std::string(definition.key) + "\\");
    return routines.DeleteValue(std::string(definition.name));
}

// In all three, a stored text that is not a number skips the assignment, so the value stays 0.
bool ReadProtectionAtStart() { return ReadSettingNumber(Setting::Run).value_or(0) == 1; }
bool ReadStartInTray() { return ReadSettingNumber(Setting::Tray).value_or(0) != 0; }
std::int32_t ReadBlockedCount() { return ReadSettingNumber(Setting::Attempts).value_or(0); }

bool ReadTimerEngineForced() {
    const RegistryVariant value = ReadSetting(Setting::Engine);
    try {
        return ToText(value) == "timer";
    } catch (const RegistryConversionError&) {
        return false;
    }
}

StartupSettings ReadStartupSettings() {
    StartupSettings settings;
    settings.protection_on = ReadProtectionAtStart();
    settings.start_in_tray = ReadStartInTray();
    settings.blocked_count = ReadBlockedCount();
    return settings;
}

bool SaveAttempts(std::int32_t blocked_count) { return WriteSetting(Setting::Attempts, blocked_count); }

bool SaveProtection(bool on) { return WriteSetting(Setting::Run, std::string(on ? "1" : "0")); }

}  // namespace corvane::settings
