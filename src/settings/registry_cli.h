#pragma once
// corvane-reg: reading and writing the registry store from the command line.
//
//   corvane-reg get KEY NAME            prints the data: REG_SZ / REG_EXPAND_SZ text as stored,
//                                       REG_DWORD in decimal, REG_MULTI_SZ one string per line,
//                                       other types as hexadecimal bytes ("0A FF")
//   corvane-reg set KEY NAME TYPE DATA  TYPE is REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ (strings
//                                       separated by "\0"), REG_DWORD (decimal or 0x hex) or
//                                       REG_BINARY (hex digits, blanks allowed); creates KEY
//   corvane-reg delete KEY [NAME]       deletes the value, or without NAME the key
//   corvane-reg list KEY                sub-keys as "[name]", then values as NAME<TAB>TYPE<TAB>DATA
//
// KEY is HKLM\path, HKCU\path, HKEY_LOCAL_MACHINE\path or HKEY_CURRENT_USER\path. The empty
// value name is written "" on the command line. Exit status: 0 done, 1 the value or key is absent,
// 2 any other error (told on standard error).
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::settings::cli {

struct KeyArgument {
    std::int32_t root = 0;
    std::string path;
};

std::optional<KeyArgument> ParseKey(std::string_view text);
// REG_SZ -> 1 and so on; nullopt for an unknown name.
std::optional<std::uint32_t> ParseType(std::string_view text);
std::string_view TypeName(std::uint32_t type);

// The bytes to store for DATA of `type`; nullopt when DATA does not fit the type. Strings get
// their terminating NUL(s).
std::optional<std::vector<std::uint8_t>> ParseData(std::uint32_t type, std::string_view text);
// The text `get` prints for stored data of `type`.
std::string FormatData(std::uint32_t type, const std::vector<std::uint8_t>& data);

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace corvane::settings::cli
