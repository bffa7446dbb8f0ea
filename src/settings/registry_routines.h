#pragma once
// RegistryRoutines: the one class through which the system reads and writes the registry.
//
// A caller makes a fresh instance, sets `hkey` and `KeyRoot` (and in principle `Subkey`), and calls
// one operation. No key stays open between calls: each operation opens what it needs and closes it
// before returning. Registry failures show only in results; a caller's value that cannot be
// converted for a write throws RegistryConversionError (nothing is written).
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings/registry_variant.h"

namespace corvane::settings {

inline constexpr std::int32_t kHkeyCurrentUser = static_cast<std::int32_t>(0x80000001u);
inline constexpr std::int32_t kHkeyLocalMachine = static_cast<std::int32_t>(0x80000002u);

// One item of EnumRegistryValues: the value's name and its data as described there (empty for
// types the enumeration does not convert).
struct RegistryValueItem {
    std::string name;
    RegistryVariant data;
};

class RegistryRoutines {
public:
    // 1-3: the properties.
    std::int32_t hkey() const { return hkey_; }
    void set_hkey(std::int32_t vData) { hkey_ = vData; }
    const std::string& KeyRoot() const { return key_root_; }
    void set_KeyRoot(std::string vData) { key_root_ = std::move(vData); }
    const std::string& Subkey() const { return subkey_; }
    void set_Subkey(std::string vData) { subkey_ = std::move(vData); }

    // 4: whether `KeyRoot` + "\" + `Subkey` can be opened for reading.
    bool KeyExists() const;

    // 5: creates (or opens) `KeyRoot` + "\" + (KeyName when given, else `Subkey`): "0" on success,
    // empty on failure.
    std::string CreateKey(const std::optional<RegistryVariant>& KeyName = std::nullopt) const;

    // 6: deletes `KeyRoot` + "\" + KeyName; the platform's result code (0 on success).
    std::int32_t DeleteKey(const std::string& KeyName) const;

    // 7: 0, or the code of the failed open or delete (2 when the value does not exist).
    std::int32_t DeleteValue(const std::string& ValueName) const;

    // 8, 9: the sub-key names / the values below `hkey` + KeyName (the instance's properties are
    // not used). An unopenable key gives an empty list.
    static std::vector<std::string> EnumRegistryKeys(std::int32_t hkey, const std::string& KeyName);
    static std::vector<RegistryValueItem> EnumRegistryValues(std::int32_t hkey, const std::string& KeyName);

    // 10: the value converted by its type, or DefaultValue (empty when not given) when the key or the
    // value is missing, the stored text is empty, or the type is not one of 1, 2, 3, 4, 7.
    RegistryVariant GetRegistryValue(const std::string& ValueName, const RegistryVariant& DefaultValue = {}) const;

    // 11: writes Value as DType (1, 2, 7 text; 3 bytes; 4 integer) into an existing key. False when
    // the key cannot be opened for writing, the write fails, or DType is another code.
    bool SetRegistryValue(const std::string& ValueName, const RegistryVariant& Value, std::int32_t DType) const;

    // 12, 13: the same on the registry of computer sRemoteComputer (empty or this machine's name
    // reaches the local store). A failed connection reads as the text "Error!" and writes as false.
    RegistryVariant ReadRemoteRegistryValue(const std::string& sRemoteComputer, std::int32_t hkey,
                                            const std::string& ValueName,
                                            const std::optional<std::string>& KeyPath = std::nullopt) const;
    bool WriteRemoteRegistryValue(const std::string& sRemoteComputer, std::int32_t hkey, const std::string& ValueName,
                                  const RegistryVariant& Value, std::int32_t DType,
                                  const std::optional<std::string>& KeyPath = std::nullopt) const;

    // 14: cuts `item` at its first NUL, in place, and returns it.
    static std::string TrimNull(std::string& item);

private:
    std::string path() const { return key_root_ + "\\" + subkey_; }

    std::int32_t hkey_ = 0;
    std::string key_root_;
    std::string subkey_;
};

}  // namespace corvane::settings
