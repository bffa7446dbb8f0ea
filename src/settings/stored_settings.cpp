#include "settings/stored_settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <span>
#include <thread>
#include <variant>

#include "platform/environment.h"
#include "platform/linux/registry_hive.h"
#include "platform/linux/registry_key_path.h"
#include "platform/registry.h"

namespace corvane::settings {

namespace reg = corvane::platform;

namespace {

StoreAnswer AnswerOf(reg::RegStatus status) {
    switch (status) {
        case reg::kErrorSuccess:
            return StoreAnswer::kDone;
        case reg::kErrorBusy:
            return StoreAnswer::kBusy;
        case reg::kErrorBadDb:
            return StoreAnswer::kDamaged;
        default:
            return StoreAnswer::kFailed;
    }
}

std::string TextOf(std::span<const std::uint8_t> data) {
    std::string text(data.begin(), data.end());
    if (const std::size_t nul = text.find('\0'); nul != std::string::npos) text.erase(nul);
    return text;
}

// The stored bytes of `type` as the readers see them; nullopt for an empty text, which reads as absent.
std::optional<RegistryVariant> ValueOf(std::uint32_t type, std::span<const std::uint8_t> data) {
    switch (type) {
        case reg::kRegSz:
        case reg::kRegMultiSz: {
            std::string text = TextOf(data);
            if (text.empty()) return std::nullopt;
            return RegistryVariant(std::move(text));
        }
        case reg::kRegExpandSz: {
            std::string text = TextOf(data);
            if (text.empty()) return std::nullopt;
            return RegistryVariant(platform::expand_environment(text));
        }
        case reg::kRegDword:
            if (data.size() < 4) return std::nullopt;
            return RegistryVariant(static_cast<std::int32_t>(
                static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
                (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24)));
        default:
            return RegistryVariant(std::vector<std::uint8_t>(data.begin(), data.end()));
    }
}

std::optional<std::int32_t> NumberOf(const std::optional<RegistryVariant>& value) {
    if (!value) return std::nullopt;
    try {
        return ToInt32(*value);
    } catch (const RegistryConversionError&) {
        return std::nullopt;
    }
}

// The key the settings of `root` live in.
const SettingDefinition& KeyOwner(std::int32_t root) {
    return Definition(root == kHkeyLocalMachine ? Setting::Attempts : Setting::Tray);
}

// A setting's value as stored, type and bytes; with kDone, `present` says whether there is one.
struct RawValue {
    StoreAnswer answer = StoreAnswer::kFailed;
    bool present = false;
    std::uint32_t type = reg::kRegNone;
    std::vector<std::uint8_t> data;
};

RawValue ReadRawValue(const SettingDefinition& definition) {
    RawValue raw;
    reg::RegistryKey key;
    reg::RegStatus status =
        reg::open_key(reg::root_key(definition.root), std::string(definition.key), reg::kKeyRead, key);
    if (status == reg::kErrorFileNotFound) {
        raw.answer = StoreAnswer::kDone;
        return raw;
    }
    if (status != reg::kErrorSuccess) {
        raw.answer = AnswerOf(status);
        return raw;
    }
    raw.data.resize(256);
    std::uint32_t size = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        status = reg::query_value(key, definition.name, raw.type, raw.data, size);
        if (status != reg::kErrorMoreData) break;
        raw.data.resize(size);
    }
    if (status == reg::kErrorFileNotFound) {
        raw.answer = StoreAnswer::kDone;
        raw.data.clear();
        return raw;
    }
    raw.answer = AnswerOf(status);
    raw.present = status == reg::kErrorSuccess;
    raw.data.resize(raw.present ? size : 0);
    return raw;
}

// What a value that is not a number holds, for a notice.
std::string NonNumberText(const RegistryVariant& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return "\"" + *text + "\"";
    if (const auto* bytes = std::get_if<std::vector<std::uint8_t>>(&value))
        return "binary data of " + std::to_string(bytes->size()) + " bytes";
    return "a value of another kind";
}

}  // namespace

StoredValue ReadStoredSetting(Setting setting) {
    const RawValue raw = ReadRawValue(Definition(setting));
    StoredValue stored;
    stored.answer = raw.answer;
    if (raw.present) stored.value = ValueOf(raw.type, raw.data);
    return stored;
}

StoredNumber ReadStoredNumber(Setting setting) {
    const StoredValue stored = ReadStoredSetting(setting);
    StoredNumber read{stored.answer, stored.answer == StoreAnswer::kDone ? NumberOf(stored.value) : std::nullopt, {}};
    if (read.answer == StoreAnswer::kDone && stored.value && !read.number)
        read.notNumber = NonNumberText(*stored.value);
    return read;
}

StoreAnswer KeepNonNumberAside(Setting setting, std::string_view asideName) {
    const SettingDefinition& definition = Definition(setting);
    const RawValue raw = ReadRawValue(definition);
    if (raw.answer != StoreAnswer::kDone) return raw.answer;
    const std::optional<RegistryVariant> value = raw.present ? ValueOf(raw.type, raw.data) : std::nullopt;
    if (!value || NumberOf(value)) return StoreAnswer::kDone;
    reg::RegistryKey key;
    reg::RegStatus status =
        reg::create_key(reg::root_key(definition.root), std::string(definition.key), reg::kKeyWrite, key);
    if (status == reg::kErrorSuccess) status = reg::set_value(key, asideName, raw.type, raw.data);
    return AnswerOf(status);
}

StoreAnswer WriteStoredSetting(Setting setting, const RegistryVariant& value) {
    const SettingDefinition& definition = Definition(setting);
    std::string text;
    try {
        text = ToText(value);
    } catch (const RegistryConversionError&) {
        return StoreAnswer::kFailed;
    }
    reg::RegistryKey key;
    reg::RegStatus status =
        reg::create_key(reg::root_key(definition.root), std::string(definition.key), reg::kKeyWrite, key);
    if (status != reg::kErrorSuccess) return AnswerOf(status);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    status = reg::set_value(key, definition.name, static_cast<std::uint32_t>(definition.type),
                            std::span<const std::uint8_t>(bytes, text.size()));
    return AnswerOf(status);
}

namespace {

// How long a repair waits for another process's hold on the new store: 100 times 10 ms.
constexpr int kRepairBusyTries = 100;
constexpr std::chrono::milliseconds kRepairBusyPause{10};

}  // namespace

StoreRepair RepairDamagedStore(std::int32_t root, const std::vector<Setting>& replaced) {
    StoreRepair repair;
    repair.file = reg::hive_path(root);
    reg::RegStatus status = reg::set_damaged_hive_aside(root, repair.damaged);
    if (status != reg::kErrorSuccess) {
        repair.answer = AnswerOf(status);
        repair.why = "the damaged file could not be set aside (error " + std::to_string(status) + ")";
        return repair;
    }
    struct stat kept {};
    if (::lstat(repair.damaged.c_str(), &kept) == 0 && !S_ISREG(kept.st_mode))
        repair.damage = S_ISDIR(kept.st_mode) ? "a folder stood in its place"
                                              : "something other than a file stood in its place";
    const SettingDefinition& owner = KeyOwner(root);
    const std::vector<reg::SalvagedValue> salvaged =
        reg::salvage_values(repair.damaged, reg::key_path::normalize(owner.key));
    reg::RegistryKey key;
    // The damaged file is gone from its place already: another process may be opening the new,
    // empty store right now (an administrator's corvane-reg). It holds it a moment; the salvaged
    // values must not be lost for that, so the new store is asked for a while longer.
    status = reg::create_key(reg::root_key(root), std::string(owner.key), reg::kKeyWrite, key);
    for (int tries = 0; status == reg::kErrorBusy && tries < kRepairBusyTries; ++tries) {
        std::this_thread::sleep_for(kRepairBusyPause);
        status = reg::create_key(reg::root_key(root), std::string(owner.key), reg::kKeyWrite, key);
    }
    if (status != reg::kErrorSuccess) {
        repair.answer = AnswerOf(status);
        repair.why = "a new store could not be made (error " + std::to_string(status) + ")";
        return repair;
    }
    for (const reg::SalvagedValue& value : salvaged) {
        if (reg::key_path::equals_ignore_case(value.name, Definition(Setting::Attempts).name) &&
            root == kHkeyLocalMachine)
            repair.salvagedAttempts = NumberOf(ValueOf(value.type, value.data));
        const bool skip = std::any_of(replaced.begin(), replaced.end(), [&](Setting setting) {
            return reg::key_path::equals_ignore_case(value.name, Definition(setting).name);
        });
        if (skip) continue;
        status = reg::set_value(key, value.name, value.type, value.data);
        if (status != reg::kErrorSuccess) {
            repair.answer = AnswerOf(status);
            repair.why = "the value \"" + value.name + "\" could not be written to the new store";
            return repair;
        }
    }
    repair.answer = StoreAnswer::kDone;
    return repair;
}

std::string DamagedStoreNotice(const StoreRepair& repair) {
    return "the settings store " + repair.file.string() + " was damaged" +
           (repair.damage.empty() ? std::string() : " (" + repair.damage + ")") + ": it is kept as " +
           repair.damaged.string() +
           " and a new one was made; to put it back, stop corvaned and rename it (with its -wal and -shm files) to " +
           repair.file.string();
}

std::vector<std::filesystem::path> DamagedMachineStores() { return reg::damaged_hives(kHkeyLocalMachine); }

}  // namespace corvane::settings
