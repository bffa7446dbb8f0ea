#pragma once
// The registry: a hierarchical store of keys and typed values with the roots, key paths, value names,
// type codes, byte layouts and result codes of the Windows registry's ANSI functions.
//
// Each root (hive) is one SQLite database: HKEY_LOCAL_MACHINE in the machine state folder (writable
// by root only; other users read it and get access denied on writes), HKEY_CURRENT_USER in the user's
// configuration folder (see platform/paths.h). Key and value names compare without regard to case and
// keep the case they were created with; empty path components ("a\\\\b\\") are ignored. Every write
// is one transaction and is on disk when the call returns; several processes may use a hive at once,
// and a hive locked past a short wait, corrupt or unreadable gives an error result.
//
// A key opened with open_key reads from one snapshot of its hive until it is closed (or until this
// process writes to that hive): the open and the queries after it share one read lock. Other
// processes' writes wait for that lock, so keys are meant to be held for one operation, as
// RegistryRoutines does, not kept open.
//
// The values of HKEY_LOCAL_MACHINE "SOFTWARE\Microsoft\Windows\CurrentVersion\Run" are the
// system-wide XDG autostart entries: value NAME is the file NAME.desktop in the autostart folder; the
// values of the same key under HKEY_CURRENT_USER are the user's own entries, in the user's autostart
// folder.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace corvane::platform {

// Win32 result codes.
using RegStatus = std::int32_t;
inline constexpr RegStatus kErrorSuccess = 0;
inline constexpr RegStatus kErrorFileNotFound = 2;
inline constexpr RegStatus kErrorAccessDenied = 5;
inline constexpr RegStatus kErrorInvalidHandle = 6;
inline constexpr RegStatus kErrorNotEnoughMemory = 8;
inline constexpr RegStatus kErrorBadNetPath = 53;
inline constexpr RegStatus kErrorInvalidParameter = 87;
inline constexpr RegStatus kErrorBusy = 170;
inline constexpr RegStatus kErrorMoreData = 234;
inline constexpr RegStatus kErrorNoMoreItems = 259;
inline constexpr RegStatus kErrorBadDb = 1009;
inline constexpr RegStatus kErrorRegistryIoFailed = 1016;
inline constexpr RegStatus kErrorKeyDeleted = 1018;

// Predefined root keys (the values of Win32's HKEY_* handles).
using RootKey = std::int32_t;
inline constexpr RootKey kHkeyCurrentUser = static_cast<RootKey>(0x80000001u);
inline constexpr RootKey kHkeyLocalMachine = static_cast<RootKey>(0x80000002u);

// Value types.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// Access rights.
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWrite = 0x20006;
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;

// The key path (below either root) whose values are the autostart entries.
inline constexpr std::string_view kRunKeyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

namespace detail {
struct OpenKey;
}

// An open key (or a predefined root). Move-only; closes itself when it goes out of scope, and
// close_key() closes it earlier with a result.
class RegistryKey {
public:
    RegistryKey() = default;
    RegistryKey(RegistryKey&&) noexcept = default;
    RegistryKey& operator=(RegistryKey&&) noexcept = default;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    ~RegistryKey() = default;

    bool is_open() const { return static_cast<bool>(impl_); }

    explicit RegistryKey(std::shared_ptr<detail::OpenKey> impl) : impl_(std::move(impl)) {}
    const std::shared_ptr<detail::OpenKey>& impl() const { return impl_; }
    void reset() { impl_.reset(); }

private:
    std::shared_ptr<detail::OpenKey> impl_;
};

// The handle of a predefined root; a value that names no supported root gives a key that is not
// open, on which every operation answers kErrorInvalidHandle.
RegistryKey root_key(RootKey root);

// RegOpenKeyExA: opens `sub_key` below `parent` (an empty path opens `parent` itself again).
// kErrorFileNotFound when a component is missing; kErrorAccessDenied when `access` asks for writing
// and the hive is not writable by this process.
RegStatus open_key(const RegistryKey& parent, std::string_view sub_key, std::uint32_t access, RegistryKey& out);

// RegCreateKeyExA: opens `sub_key`, creating every missing component. `created` (optional) tells
// whether the last component was new.
RegStatus create_key(const RegistryKey& parent, std::string_view sub_key, std::uint32_t access, RegistryKey& out,
                     bool* created = nullptr);

// RegCloseKey. kErrorInvalidHandle when `key` is not open.
RegStatus close_key(RegistryKey& key);

// RegDeleteKeyA: deletes `sub_key` below `parent` with its values; a key that still has sub-keys
// is not deleted (kErrorAccessDenied), nor is a root.
RegStatus delete_key(const RegistryKey& parent, std::string_view sub_key);

// RegQueryValueExA. `type` and `size` receive the stored type and size in bytes. A `buffer` whose
// data() is null asks only for type and size; a buffer smaller than the data gives kErrorMoreData
// and copies nothing.
RegStatus query_value(const RegistryKey& key, std::string_view name, std::uint32_t& type,
                      std::span<std::uint8_t> buffer, std::uint32_t& size);

// RegSetValueExA. For REG_SZ, REG_EXPAND_SZ and REG_MULTI_SZ the data is the caller's NUL-terminated
// ANSI buffer: when its last counted byte is not NUL, the terminator that follows it is stored too.
RegStatus set_value(const RegistryKey& key, std::string_view name, std::uint32_t type,
                    std::span<const std::uint8_t> data);

// RegDeleteValueA: kErrorFileNotFound when the value does not exist.
RegStatus delete_value(const RegistryKey& key, std::string_view name);

// RegEnumKeyExA: the name of sub-key number `index` (in name order), kErrorNoMoreItems past the end.
RegStatus enum_key(const RegistryKey& key, std::uint32_t index, std::string& name);

// RegEnumValueA: value number `index` (in order of creation), kErrorNoMoreItems past the end. The
// data buffer works as in query_value; with kErrorMoreData, `name`, `type` and `size` are set.
RegStatus enum_value(const RegistryKey& key, std::uint32_t index, std::string& name, std::uint32_t& type,
                     std::span<std::uint8_t> buffer, std::uint32_t& size);

// RegConnectRegistryA: an empty name or this machine's own host name (any case, with or without
// leading "\\\\") gives the local root; any other computer gives kErrorBadNetPath.
RegStatus connect_registry(std::string_view machine, RootKey root, RegistryKey& out);

// Drops this process's cached connections to the hive databases; the next use opens them again.
void close_cached_hives();

}  // namespace corvane::platform
