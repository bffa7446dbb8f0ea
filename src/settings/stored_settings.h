#pragma once
// The service's own reads and writes of its settings ("Run", "Attempts", ...), which say whether the
// store answered: a value that could not be read is never taken for its default, and a damaged store
// is set aside and made again with what is known.
//
// Each call waits for another process's lock only as long as the calling thread's store wait
// (platform::SetStoreWait); none of them creates a key just to read.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/registry_variant.h"
#include "settings/settings_table.h"

namespace corvane::settings {

enum class StoreAnswer {
    kDone,     // read or written
    kBusy,     // another process holds the store locked: try again later
    kDamaged,  // not a database, truncated, tables missing or of another shape
    kFailed,   // anything else (no right, no room, ...)
};

// A value as stored. With kDone, `value` is nullopt when the value (or its key) is absent.
struct StoredValue {
    StoreAnswer answer = StoreAnswer::kFailed;
    std::optional<RegistryVariant> value;
};
StoredValue ReadStoredSetting(Setting setting);

// A setting read as a number: with kDone, nullopt when absent or not a number; `notNumber` then holds
// what is stored instead (the text, or a word on what else it is).
struct StoredNumber {
    StoreAnswer answer = StoreAnswer::kFailed;
    std::optional<std::int32_t> number;
    std::optional<std::string> notNumber;
};
StoredNumber ReadStoredNumber(Setting setting);

// A setting's stored value that is not a number copied, type and bytes as they are, to the value
// `asideName` of the same key, before the setting is written over. kDone also when there is nothing
// to keep (absent, or a number by now).
StoreAnswer KeepNonNumberAside(Setting setting, std::string_view asideName);

// Writes the setting (type REG_SZ, its key made when missing). A store file removed meanwhile is made
// again.
StoreAnswer WriteStoredSetting(Setting setting, const RegistryVariant& value);

// The damaged store of `root` set aside (platform::set_damaged_hive_aside) and a new one made with the
// values of the settings' key that could still be read from it, except those named in `replaced`
// (the caller writes them itself).
struct StoreRepair {
    StoreAnswer answer = StoreAnswer::kFailed;  // kDone: set aside and made again
    std::filesystem::path damaged;              // the damaged file's new name
    std::filesystem::path file;                 // the store's own name
    std::optional<std::int32_t> salvagedAttempts;  // "Attempts" as read from the damaged file
    std::string damage;                         // what stood in the file's place, when not a file
    std::string why;                            // with a failure
};
StoreRepair RepairDamagedStore(std::int32_t root, const std::vector<Setting>& replaced);

// The line that says a damaged store was replaced and how to put the old one back.
std::string DamagedStoreNotice(const StoreRepair& repair);

// The damaged files of the machine store kept beside it (oldest first).
std::vector<std::filesystem::path> DamagedMachineStores();

}  // namespace corvane::settings
