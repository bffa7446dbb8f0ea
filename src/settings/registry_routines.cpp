#include "settings/registry_routines.h"

#include <span>

#include "platform/environment.h"
#include "platform/registry.h"

namespace corvane::settings {

namespace reg = corvane::platform;

namespace {

constexpr std::uint32_t kFirstBufferSize = 1024;
constexpr std::uint32_t kEnumBufferSize = 4096;

std::string text_of(const std::vector<std::uint8_t>& buffer, std::size_t count) {
    return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
}

std::int32_t dword_of(const std::vector<std::uint8_t>& buffer) {
    const std::uint32_t raw = static_cast<std::uint32_t>(buffer[0]) | (static_cast<std::uint32_t>(buffer[1]) << 8) |
                              (static_cast<std::uint32_t>(buffer[2]) << 16) |
                              (static_cast<std::uint32_t>(buffer[3]) << 24);
    return static_cast<std::int32_t>(raw);
}

// The query of GetRegistryValue steps 3 to 6 on an open key: `result` keeps its value unless the
// value is there and converts.
void query_into(const reg::RegistryKey& key, const std::string& name, RegistryVariant& result) {
    std::vector<std::uint8_t> buffer(kFirstBufferSize);
    std::uint32_t type = reg::kRegNone;
    std::uint32_t size = kFirstBufferSize;
    reg::RegStatus status = reg::query_value(key, name, type, buffer, size);
    if (status == reg::kErrorMoreData) {
        buffer.resize(size);
        status = reg::query_value(key, name, type, buffer, size);
    }
    // Only a successful query has data in the buffer; anything else (a value that grew again between
    // the two queries included) leaves the default.
    if (status != reg::kErrorSuccess) return;
    const std::size_t n = size;
    switch (type) {
        case reg::kRegSz:
            if (n > 0) result = text_of(buffer, n - 1);
            break;
        case reg::kRegExpandSz:
            if (n > 0) result = platform::expand_environment(text_of(buffer, n - 1));
            break;
        case reg::kRegBinary:
            buffer.resize(n);
            result = std::move(buffer);
            break;
        case reg::kRegDword:
            if (n >= 4) result = dword_of(buffer);
            break;
        case reg::kRegMultiSz:
            if (n >= 2) {
                std::string text = text_of(buffer, n - 2);
                std::string first = text;
                if (!RegistryRoutines::TrimNull(first).empty()) result = std::move(text);
            }
            break;
        default:
            break;
    }
}

// SetRegistryValue step 2 on an open key. Throws RegistryConversionError before writing anything.
bool write_into(const reg::RegistryKey& key, const std::string& name, const RegistryVariant& value, std::int32_t type) {
    switch (type) {
        case 1:
        case 2:
        case 7: {
            const std::string text = ToText(value);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
            return reg::set_value(key, name, static_cast<std::uint32_t>(type),
                                  std::span<const std::uint8_t>(bytes, text.size())) == reg::kErrorSuccess;
        }
        case 3: {
            const std::vector<std::uint8_t> bytes = ToBytes(value);
            return reg::set_value(key, name, reg::kRegBinary, bytes) == reg::kErrorSuccess;
        }
        case 4: {
            const auto raw = static_cast<std::uint32_t>(ToInt32(value));
            const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8),
                                           static_cast<std::uint8_t>(raw >> 16), static_cast<std::uint8_t>(raw >> 24)};
            return reg::set_value(key, name, reg::kRegDword, bytes) == reg::kErrorSuccess;
        }
        default:
            return false;  // other type codes are not written
    }
}

std::string hex_text(const std::vector<std::uint8_t>& bytes, std::size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) out.push_back(' ');
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0xF]);
    }
    return out;
}

// The key enumerations work on: `KeyName` below `hkey`, or `hkey` itself for an empty name.
bool open_for_enum(std::int32_t hkey, const std::string& KeyName, reg::RegistryKey& key) {
    reg::RegistryKey root = reg::root_key(hkey);
    if (KeyName.empty()) {
        key = std::move(root);
        return key.is_open();
    }
    return reg::open_key(root, KeyName, reg::kKeyRead, key) == reg::kErrorSuccess;
}

}  // namespace

bool RegistryRoutines::KeyExists() const {
    reg::RegistryKey key;
    return reg::open_key(reg::root_key(hkey_), path(), reg::kKeyRead, key) == reg::kErrorSuccess;
}

std::string RegistryRoutines::CreateKey(const std::optional<RegistryVariant>& KeyName) const {
    const std::string name = KeyName ? ToText(*KeyName) : subkey_;
    reg::RegistryKey key;
    bool created = false;
    if (reg::create_key(reg::root_key(hkey_), key_root_ + "\\" + name, reg::kKeyAllAccess, key, &created) !=
        reg::kErrorSuccess) {
        return {};
    }
    return "0";
}

std::int32_t RegistryRoutines::DeleteKey(const std::string& KeyName) const {
    return reg::delete_key(reg::root_key(hkey_), key_root_ + "\\" + KeyName);
}

std::int32_t RegistryRoutines::DeleteValue(const std::string& ValueName) const {
    reg::RegistryKey key;
    const reg::RegStatus opened = reg::open_key(reg::root_key(hkey_), path(), reg::kKeyAllAccess, key);
    if (opened != reg::kErrorSuccess) return opened;
    return reg::delete_value(key, ValueName);
}

std::vector<std::string> RegistryRoutines::EnumRegistryKeys(std::int32_t hkey, const std::string& KeyName) {
    std::vector<std::string> names;
    reg::RegistryKey key;
    if (!open_for_enum(hkey, KeyName, key)) return names;
    std::string name;
    for (std::uint32_t index = 0; reg::enum_key(key, index, name) == reg::kErrorSuccess; ++index) {
        TrimNull(name);
        names.push_back(name);
    }
    return names;
}

std::vector<RegistryValueItem> RegistryRoutines::EnumRegistryValues(std::int32_t hkey, const std::string& KeyName) {
    std::vector<RegistryValueItem> items;
    reg::RegistryKey key;
    if (!open_for_enum(hkey, KeyName, key)) return items;
    for (std::uint32_t index = 0;; ++index) {
        std::vector<std::uint8_t> data(kEnumBufferSize);
        std::string name;
        std::uint32_t type = reg::kRegNone;
        std::uint32_t size = kEnumBufferSize;
        reg::RegStatus status = reg::enum_value(key, index, name, type, data, size);
        if (status == reg::kErrorMoreData) {
            data.resize(size);
            status = reg::enum_value(key, index, name, type, data, size);
        }
        if (status != reg::kErrorSuccess) break;  // 259 at the end of the list
        RegistryValueItem item{name, {}};
        const std::size_t n = size;
        switch (type) {
            case reg::kRegSz:
                item.data = n == 0 ? std::string() : text_of(data, n - 1);
                break;
            case reg::kRegExpandSz: {
                std::string text = n == 0 ? std::string() : platform::expand_environment(text_of(data, n - 1));
                item.data = TrimNull(text);
                break;
            }
            case reg::kRegBinary:
                item.data = hex_text(data, n);
                break;
            case reg::kRegDword:
                if (n >= 4) item.data = dword_of(data);
                break;
            case reg::kRegMultiSz: {
                std::string text = n < 2 ? std::string() : text_of(data, n - 2);
                for (char& c : text) {
                    if (c == '\0') c = ',';
                }
                item.data = std::move(text);
                break;
            }
            default:
                break;  // no data for other types
        }
        items.push_back(std::move(item));
    }
    return items;
}

RegistryVariant RegistryRoutines::GetRegistryValue(const std::string& ValueName,
                                                   const RegistryVariant& DefaultValue) const {
    RegistryVariant result = DefaultValue;
    reg::RegistryKey key;
    if (reg::open_key(reg::root_key(hkey_), path(), reg::kKeyRead, key) != reg::kErrorSuccess) return result;
    query_into(key, ValueName, result);
    return result;
}

bool RegistryRoutines::SetRegistryValue(const std::string& ValueName, const RegistryVariant& Value,
                                        std::int32_t DType) const {
    reg::RegistryKey key;
    if (reg::open_key(reg::root_key(hkey()), path(), reg::kKeyWrite, key) != reg::kErrorSuccess) return false;
    return write_into(key, ValueName, Value, DType);
}

RegistryVariant RegistryRoutines::ReadRemoteRegistryValue(const std::string& sRemoteComputer, std::int32_t hkey,
                                                          const std::string& ValueName,
                                                          const std::optional<std::string>& KeyPath) const {
    const std::string key_path = KeyPath ? *KeyPath : path();
    reg::RegistryKey remote;
    if (reg::connect_registry(sRemoteComputer, hkey, remote) != reg::kErrorSuccess) {
        return std::string("Error!");
    }
    RegistryVariant result;
    reg::RegistryKey key;
    // The open's code is not looked at: a failed open makes the query fail, and the result stays empty.
    (void)reg::open_key(remote, key_path, reg::kKeyAllAccess, key);
    query_into(key, ValueName, result);
    return result;
}

bool RegistryRoutines::WriteRemoteRegistryValue(const std::string& sRemoteComputer, std::int32_t hkey,
                                                const std::string& ValueName, const RegistryVariant& Value,
                                                std::int32_t DType, const std::optional<std::string>& KeyPath) const {
    const std::string key_path = KeyPath ? *KeyPath : path();
    reg::RegistryKey remote;
    if (reg::connect_registry(sRemoteComputer, hkey, remote) != reg::kErrorSuccess) return false;
    reg::RegistryKey key;
    // As in ReadRemoteRegistryValue, a failed open shows as a failed write.
    (void)reg::open_key(remote, key_path, reg::kKeyAllAccess, key);
    return write_into(key, ValueName, Value, DType);
}

std::string RegistryRoutines::TrimNull(std::string& item) {
    const std::size_t nul = item.find('\0');
    if (nul != std::string::npos) item.erase(nul);
    return item;
}

}  // namespace corvane::settings
