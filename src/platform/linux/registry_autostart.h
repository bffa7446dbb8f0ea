#pragma once
// The values of "SOFTWARE\Microsoft\Windows\CurrentVersion\Run" as XDG autostart entries: value NAME
// is NAME.desktop in the autostart folder (platform/paths.h), the system-wide folder for the key under
// HKEY_LOCAL_MACHINE, the user's own for the key under HKEY_CURRENT_USER. A string value
// becomes an entry that starts that program at login; the exact type and bytes are kept in the entry
// as well, so that reading gives back what was written. Entries made by other programs read as
// REG_SZ holding their Exec line.
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace corvane::platform::autostart {

struct Entry {
    std::string name;
    std::uint32_t type = kRegSz;
    std::vector<std::uint8_t> data;
};

// Whose entries: the machine's (system-wide, written by root) or the current user's.
enum class Scope { kMachine, kUser };

// The folder of a scope's entries.
std::filesystem::path folder_of(Scope scope);

// Whether `name` can be an entry's file name (not empty, no "/", not "." or "..").
bool valid_name(std::string_view name);

RegStatus read(Scope scope, std::string_view name, Entry& out);
// A folder this creates gets mode 0755 (machine) or 0700 (user); the entry 0644 or 0600.
RegStatus write(Scope scope, std::string_view name, std::uint32_t type, std::span<const std::uint8_t> data);
RegStatus remove(Scope scope, std::string_view name);
// Entry number `index` in name order; kErrorNoMoreItems past the end.
RegStatus entry_at(Scope scope, std::uint32_t index, Entry& out);

// The text of a desktop entry for `entry`, and the entry read back from such a text.
std::string format_entry(const Entry& entry);
bool parse_entry(std::string_view text, Entry& out);

}  // namespace corvane::platform::autostart
