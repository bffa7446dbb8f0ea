#pragma once
// The values of HKEY_LOCAL_MACHINE "SOFTWARE\Microsoft\Windows\CurrentVersion\Run" as XDG autostart
// entries: value NAME is NAME.desktop in the autostart folder (platform/paths.h). A string value
// becomes an entry that starts that program at login; the exact type and bytes are kept in the entry
// as well, so that reading gives back what was written. Entries made by other programs read as
// REG_SZ holding their Exec line.
#include <cstdint>
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

// Whether `name` can be an entry's file name (not empty, no "/", not "." or "..").
bool valid_name(std::string_view name);

RegStatus read(std::string_view name, Entry& out);
RegStatus write(std::string_view name, std::uint32_t type, std::span<const std::uint8_t> data);
RegStatus remove(std::string_view name);
// Entry number `index` in name order; kErrorNoMoreItems past the end.
RegStatus entry_at(std::uint32_t index, Entry& out);

// The text of a desktop entry for `entry`, and the entry read back from such a text.
std::string format_entry(const Entry& entry);
bool parse_entry(std::string_view text, Entry& out);

}  // namespace corvane::platform::autostart
