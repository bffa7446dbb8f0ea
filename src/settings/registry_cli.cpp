#include "settings/registry_cli.h"

#include <cctype>
#include <charconv>
#include <filesystem>
#include <ostream>

#include "platform/linux/registry_hive.h"
#include "platform/registry.h"

namespace corvane::settings::cli {

namespace reg = corvane::platform;

namespace {

constexpr int kDone = 0;
constexpr int kAbsent = 1;
constexpr int kError = 2;

bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[i]);
        if (std::tolower(x) != std::tolower(y)) return false;
    }
    return true;
}

std::string hex_bytes(const std::vector<std::uint8_t>& data) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0) out.push_back(' ');
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0xF]);
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string describe(reg::RegStatus status) {
    switch (status) {
        case reg::kErrorFileNotFound:
            return "not found";
        case reg::kErrorAccessDenied:
            return "access denied";
        case reg::kErrorBusy:
            return "the store is locked by another process";
        case reg::kErrorBadDb:
            return "the store is damaged";
        case reg::kErrorInvalidParameter:
            return "invalid name";
        default:
            return "error " + std::to_string(status);
    }
}

// Reads the whole value; kErrorMoreData from a value that grew meanwhile is tried again.
reg::RegStatus read_value(const reg::RegistryKey& key, const std::string& name, std::uint32_t& type,
                          std::vector<std::uint8_t>& data) {
    data.resize(256);
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::uint32_t size = 0;
        const reg::RegStatus status = reg::query_value(key, name, type, data, size);
        if (status == reg::kErrorSuccess) {
            data.resize(size);
            return status;
        }
        if (status != reg::kErrorMoreData) return status;
        data.resize(size);
    }
    return reg::kErrorMoreData;
}

int fail(std::ostream& err, const std::string& what, reg::RegStatus status) {
    err << "corvane-reg: " << what << ": " << describe(status) << "\n";
    return status == reg::kErrorFileNotFound ? kAbsent : kError;
}

int usage(std::ostream& err) {
    err << "usage: corvane-reg get KEY NAME\n"
           "       corvane-reg set KEY NAME TYPE DATA\n"
           "       corvane-reg delete KEY [NAME]\n"
           "       corvane-reg list KEY\n"
           "KEY: HKLM\\path or HKCU\\path (or HKEY_LOCAL_MACHINE\\..., HKEY_CURRENT_USER\\...)\n"
           "TYPE: REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_BINARY\n";
    return kError;
}

// Names the damaged files of the machine store kept beside it and how to put one back, before a look
// at the machine's settings.
void tell_damaged(const KeyArgument& target, std::ostream& err) {
    if (target.root != reg::kHkeyLocalMachine) return;
    const std::vector<std::filesystem::path> kept = reg::damaged_hives(reg::kHkeyLocalMachine);
    if (kept.empty()) return;
    const std::filesystem::path file = reg::hive_path(reg::kHkeyLocalMachine);
    err << "corvane-reg: a damaged settings store is kept as " << kept.back().string()
        << (kept.size() > 1 ? " (and " + std::to_string(kept.size() - 1) + " older)" : std::string())
        << "; to put it back, stop corvaned and rename it (with its -wal and -shm files) to " << file.string()
        << "\n";
}

int do_get(const KeyArgument& target, const std::string& name, std::ostream& out, std::ostream& err) {
    tell_damaged(target, err);
    reg::RegistryKey key;
    reg::RegStatus status = reg::open_key(reg::root_key(target.root), target.path, reg::kKeyRead, key);
    if (status != reg::kErrorSuccess) return fail(err, "key", status);
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    status = read_value(key, name, type, data);
    if (status != reg::kErrorSuccess) return fail(err, "value \"" + name + "\"", status);
    out << FormatData(type, data) << "\n";
    return kDone;
}

int do_set(const KeyArgument& target, const std::string& name, std::string_view type_text, std::string_view data_text,
           std::ostream& err) {
    const auto type = ParseType(type_text);
    if (!type) {
        err << "corvane-reg: unknown type \"" << type_text << "\"\n";
        return kError;
    }
    const auto data = ParseData(*type, data_text);
    if (!data) {
        err << "corvane-reg: \"" << data_text << "\" is not valid " << TypeName(*type) << " data\n";
        return kError;
    }
    reg::RegistryKey key;
    reg::RegStatus status = reg::create_key(reg::root_key(target.root), target.path, reg::kKeyWrite, key);
    if (status != reg::kErrorSuccess) {
        (void)fail(err, "key", status);
        return kError;
    }
    status = reg::set_value(key, name, *type, *data);
    if (status != reg::kErrorSuccess) {
        (void)fail(err, "value \"" + name + "\"", status);
        return kError;
    }
    return kDone;
}

int do_delete(const KeyArgument& target, const std::optional<std::string>& name, std::ostream& err) {
    if (!name) {
        const reg::RegStatus status = reg::delete_key(reg::root_key(target.root), target.path);
        return status == reg::kErrorSuccess ? kDone : fail(err, "key", status);
    }
    reg::RegistryKey key;
    reg::RegStatus status = reg::open_key(reg::root_key(target.root), target.path, reg::kKeyAllAccess, key);
    if (status != reg::kErrorSuccess) return fail(err, "key", status);
    status = reg::delete_value(key, *name);
    return status == reg::kErrorSuccess ? kDone : fail(err, "value \"" + *name + "\"", status);
}

int do_list(const KeyArgument& target, std::ostream& out, std::ostream& err) {
    tell_damaged(target, err);
    reg::RegistryKey key;
    reg::RegStatus status = reg::open_key(reg::root_key(target.root), target.path, reg::kKeyRead, key);
    if (status != reg::kErrorSuccess) return fail(err, "key", status);
    std::string name;
    std::uint32_t index = 0;
    for (; (status = reg::enum_key(key, index, name)) == reg::kErrorSuccess; ++index) {
        out << "[" << name << "]\n";
    }
    if (status != reg::kErrorNoMoreItems) return fail(err, "sub-keys", status);
    std::size_t capacity = 4096;
    std::vector<std::uint8_t> data;
    for (index = 0;;) {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        data.resize(capacity);
        status = reg::enum_value(key, index, name, type, data, size);
        if (status == reg::kErrorMoreData) {
            capacity = size;
            continue;
        }
        if (status == reg::kErrorNoMoreItems) break;
        if (status != reg::kErrorSuccess) return fail(err, "values", status);
        data.resize(size);
        std::string text = FormatData(type, data);
        if (type == reg::kRegMultiSz) {
            for (std::size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', nl)) {
                text.replace(nl, 1, "\\0");
            }
        }
        out << (name.empty() ? "(Default)" : name) << "\t" << TypeName(type) << "\t" << text << "\n";
        ++index;
    }
    return kDone;
}

}  // namespace

std::optional<KeyArgument> ParseKey(std::string_view text) {
    const std::size_t slash = text.find('\\');
    const std::string_view root = text.substr(0, slash);
    KeyArgument key;
    if (same_text(root, "HKLM") || same_text(root, "HKEY_LOCAL_MACHINE")) {
        key.root = reg::kHkeyLocalMachine;
    } else if (same_text(root, "HKCU") || same_text(root, "HKEY_CURRENT_USER")) {
        key.root = reg::kHkeyCurrentUser;
    } else {
        return std::nullopt;
    }
    if (slash != std::string_view::npos) key.path = std::string(text.substr(slash + 1));
    return key;
}

std::optional<std::uint32_t> ParseType(std::string_view text) {
    static constexpr std::pair<std::string_view, std::uint32_t> kTypes[] = {
        {"REG_SZ", reg::kRegSz},       {"REG_EXPAND_SZ", reg::kRegExpandSz}, {"REG_BINARY", reg::kRegBinary},
        {"REG_DWORD", reg::kRegDword}, {"REG_MULTI_SZ", reg::kRegMultiSz},
    };
    for (const auto& [name, code] : kTypes) {
        if (same_text(text, name)) return code;
    }
    return std::nullopt;
}

std::string_view TypeName(std::uint32_t type) {
    switch (type) {
        case reg::kRegNone:
            return "REG_NONE";
        case reg::kRegSz:
            return "REG_SZ";
        case reg::kRegExpandSz:
            return "REG_EXPAND_SZ";
        case reg::kRegBinary:
            return "REG_BINARY";
        case reg::kRegDword:
            return "REG_DWORD";
        case reg::kRegMultiSz:
            return "REG_MULTI_SZ";
        default:
            return "REG_UNKNOWN";
    }
}

std::optional<std::vector<std::uint8_t>> ParseData(std::uint32_t type, std::string_view text) {
    std::vector<std::uint8_t> bytes;
    switch (type) {
        case reg::kRegSz:
        case reg::kRegExpandSz:
            if (text.find('\0') != std::string_view::npos) return std::nullopt;
            bytes.assign(text.begin(), text.end());
            if (!bytes.empty()) bytes.push_back(0);
            return bytes;
        case reg::kRegMultiSz: {
            if (text.find('\0') != std::string_view::npos) return std::nullopt;
            // "a\0b" -> a NUL b NUL NUL; an empty text is the empty list (two NULs).
            std::size_t start = 0;
            while (!text.empty()) {
                const std::size_t sep = text.find("\\0", start);
                const std::string_view part = text.substr(start, sep == std::string_view::npos ? sep : sep - start);
                if (part.empty()) return std::nullopt;  // an empty string would end the list early
                bytes.insert(bytes.end(), part.begin(), part.end());
                bytes.push_back(0);
                if (sep == std::string_view::npos) break;
                start = sep + 2;
            }
            bytes.push_back(0);
            if (bytes.size() == 1) bytes.push_back(0);
            return bytes;
        }
        case reg::kRegDword: {
            std::int64_t value = 0;
            const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
            const std::string_view digits = hex ? text.substr(2) : text;
            if (digits.empty() || (hex && digits.front() == '-') || digits.front() == '+') return std::nullopt;
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
            if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
            if (value < INT32_MIN || value > static_cast<std::int64_t>(UINT32_MAX)) return std::nullopt;
            const auto raw = static_cast<std::uint32_t>(value);
            bytes = {static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
                     static_cast<std::uint8_t>(raw >> 16), static_cast<std::uint8_t>(raw >> 24)};
            return bytes;
        }
        case reg::kRegBinary: {
            int high = -1;
            for (char c : text) {
                if (c == ' ' || c == '\t' || c == ',') {
                    if (high >= 0) return std::nullopt;  // a lone digit before a separator
                    continue;
                }
                const int digit = hex_digit(c);
                if (digit < 0) return std::nullopt;
                if (high < 0) {
                    high = digit;
                } else {
                    bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
                    high = -1;
                }
            }
            if (high >= 0) return std::nullopt;
            return bytes;
        }
        default:
            return std::nullopt;
    }
}

std::string FormatData(std::uint32_t type, const std::vector<std::uint8_t>& data) {
    switch (type) {
        case reg::kRegSz:
        case reg::kRegExpandSz: {
            std::string text(data.begin(), data.end());
            if (!text.empty() && text.back() == '\0') text.pop_back();
            return text;
        }
        case reg::kRegMultiSz: {
            std::string text(data.begin(), data.end());
            while (!text.empty() && text.back() == '\0') text.pop_back();
            for (char& c : text) {
                if (c == '\0') c = '\n';
            }
            return text;
        }
        case reg::kRegDword:
            if (data.size() == 4) {
                const std::uint32_t raw =
                    data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
                return std::to_string(static_cast<std::int32_t>(raw));
            }
            return hex_bytes(data);
        default:
            return hex_bytes(data);
    }
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() < 2) return usage(err);
    const std::string& command = args[0];
    const auto key = ParseKey(args[1]);
    if (!key) {
        err << "corvane-reg: \"" << args[1] << "\" is not a key of HKLM or HKCU\n";
        return kError;
    }
    if (command == "get" && args.size() == 3) return do_get(*key, args[2], out, err);
    if (command == "set" && args.size() == 5) return do_set(*key, args[2], args[3], args[4], err);
    if (command == "delete" && (args.size() == 2 || args.size() == 3)) {
        return do_delete(*key, args.size() == 3 ? std::optional<std::string>(args[2]) : std::nullopt, err);
    }
    if (command == "list" && args.size() == 2) return do_list(*key, out, err);
    return usage(err);
}

}  // namespace corvane::settings::cli
