// The registry functions of platform/registry.h on top of the SQLite hives and the autostart folder.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

#include "platform/linux/registry_autostart.h"
#include "platform/linux/registry_hive.h"
#include "platform/linux/registry_key_path.h"
#include "platform/linux/registry_status.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace corvane::platform {

namespace detail {
struct OpenKey {
    RootKey root = 0;
    std::shared_ptr<Hive> hive;  // empty on a predefined root: looked up at each use
    std::int64_t id = kRootKeyId;
    std::string path;  // normalized, in stored case; empty for the root
    std::uint32_t access = kKeyAllAccess;
    bool run_key = false;  // values are autostart entries (the machine's or the user's, by root)
    bool reading = false;  // holds a share of the hive's read snapshot

    OpenKey() = default;
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    ~OpenKey() {
        if (reading && hive) hive->end_read();
    }
};
}  // namespace detail

namespace {

using detail::OpenKey;

constexpr std::uint32_t kDelete = 0x10000;
constexpr std::uint32_t kWriteDac = 0x40000;
constexpr std::uint32_t kWriteOwner = 0x80000;
constexpr std::uint32_t kKeyCreateLink = 0x0020;
constexpr std::uint32_t kWritingRights =
    kKeySetValue | kKeyCreateSubKey | kKeyCreateLink | kDelete | kWriteDac | kWriteOwner;

std::mutex cache_mutex;
std::map<std::string, std::shared_ptr<Hive>>& hive_cache() {
    static std::map<std::string, std::shared_ptr<Hive>> cache;
    return cache;
}

const char* env_or_empty(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The database file of a root. The names depend only on the environment and the user, so they are
// worked out again only when one of those changes. Called with cache_mutex held.
const std::filesystem::path& hive_file(RootKey root) {
    struct Memo {
        bool valid = false;
        std::string corvane_root, xdg_config_home, home;
        uid_t uid = 0;
        std::filesystem::path file;
    };
    static Memo memos[2];
    Memo& memo = memos[root == kHkeyLocalMachine ? 0 : 1];
    const char* corvane_root = env_or_empty("CORVANE_ROOT");
    const char* xdg = env_or_empty("XDG_CONFIG_HOME");
    const char* home = env_or_empty("HOME");
    const uid_t uid = ::getuid();
    if (!memo.valid || memo.corvane_root != corvane_root || memo.xdg_config_home != xdg || memo.home != home ||
        memo.uid != uid) {
        memo.file = root == kHkeyLocalMachine ? machine_state_dir() / "hklm.db" : user_config_dir() / "hkcu.db";
        memo.corvane_root = corvane_root;
        memo.xdg_config_home = xdg;
        memo.home = home;
        memo.uid = uid;
        memo.valid = true;
    }
    return memo.file;
}

RegStatus hive_for_root(RootKey root, std::shared_ptr<Hive>& out, bool for_writing) {
    if (root != kHkeyLocalMachine && root != kHkeyCurrentUser) return kErrorInvalidHandle;
    std::lock_guard lock(cache_mutex);
    const std::filesystem::path& file = hive_file(root);
    auto& cache = hive_cache();
    if (const auto found = cache.find(file.native()); found != cache.end()) {
        // A file removed or replaced behind this process's back is opened (or made) afresh before a
        // write; a read may still read the file this process has open.
        if (!for_writing || found->second->still_at_path()) {
            out = found->second;
            return kErrorSuccess;
        }
        cache.erase(found);
    }
    Hive::Options options;
    options.file = file;
    // Both hives are their owner's alone: the machine's belongs to the service, which answers for it on
    // the bus; nobody else reads the store directly.
    options.dir_mode = 0700;
    options.file_mode = 0600;
    if (root == kHkeyLocalMachine) options.initial_keys.emplace_back(kRunKeyPath);
    const RegStatus status = Hive::open(options, out);
    // An empty hive is looked at again next time: someone may have created it meanwhile.
    if (status == kErrorSuccess && out->stored()) cache.emplace(options.file.native(), out);
    return status;
}

RegStatus hive_of(const OpenKey& key, std::shared_ptr<Hive>& out, bool for_writing = false) {
    if (key.hive) {
        out = key.hive;
        return kErrorSuccess;
    }
    return hive_for_root(key.root, out, for_writing);
}

// The Run key under either root: the machine's autostart entries, or the current user's own.
bool is_run_key(std::string_view normalized_path) {
    static const std::string run = key_path::normalize(kRunKeyPath);
    return key_path::equals_ignore_case(normalized_path, run);
}

autostart::Scope scope_of(const OpenKey& key) {
    return key.root == kHkeyCurrentUser ? autostart::Scope::kUser : autostart::Scope::kMachine;
}

// Builds the handle for an existing key after the access check.
RegStatus make_handle(const OpenKey& parent, const std::shared_ptr<Hive>& hive, std::int64_t id,
                      std::string stored_path, std::uint32_t access, RegistryKey& out) {
    if ((access & kWritingRights) != 0 && !hive->writable()) return kErrorAccessDenied;
    auto key = std::make_shared<OpenKey>();
    key->root = parent.root;
    key->hive = hive;
    key->id = id;
    key->run_key = is_run_key(stored_path);
    key->path = std::move(stored_path);
    key->access = access;
    out = RegistryKey(std::move(key));
    return kErrorSuccess;
}

bool is_string_type(std::uint32_t type) { return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz; }

// The key below `parent` that open_key and create_key work on: its hive and its full path.
struct KeyTarget {
    const OpenKey* from = nullptr;
    std::shared_ptr<Hive> hive;
    std::string path;
};

RegStatus target_of(const RegistryKey& parent, std::string_view sub_key, bool for_writing, KeyTarget& target) {
    target.from = parent.impl().get();
    if (target.from == nullptr) return kErrorInvalidHandle;
    const RegStatus status = hive_of(*target.from, target.hive, for_writing);
    if (status != kErrorSuccess) return status;
    target.path = key_path::join(target.from->path, sub_key);
    return kErrorSuccess;
}

}  // namespace

RegistryKey root_key(RootKey root) {
    if (root != kHkeyLocalMachine && root != kHkeyCurrentUser) return RegistryKey();
    auto key = std::make_shared<OpenKey>();
    key->root = root;
    return RegistryKey(std::move(key));
}

RegStatus open_key(const RegistryKey& parent, std::string_view sub_key, std::uint32_t access, RegistryKey& out) {
    KeyTarget target;
    RegStatus status = target_of(parent, sub_key, (access & kWritingRights) != 0, target);
    if (status != kErrorSuccess) return status;
    const auto& [from, hive, path] = target;
    std::int64_t id = kRootKeyId;
    std::string stored;
    hive->begin_read();
    status = hive->find_key(path, id, stored);
    if (status == kErrorSuccess) status = make_handle(*from, hive, id, std::move(stored), access, out);
    if (status != kErrorSuccess) {
        hive->end_read();
        return status;
    }
    out.impl()->reading = true;
    return kErrorSuccess;
}

RegStatus create_key(const RegistryKey& parent, std::string_view sub_key, std::uint32_t access, RegistryKey& out,
                     bool* created) {
    KeyTarget target;
    RegStatus status = target_of(parent, sub_key, true, target);
    if (status != kErrorSuccess) return status;
    const auto& [from, hive, path] = target;
    std::int64_t id = kRootKeyId;
    std::string stored;
    bool made = false;
    // An existing key is only opened, so that readers of a hive they may not write can "create" it.
    status = hive->find_key(path, id, stored);
    if (status == kErrorFileNotFound) status = hive->create_key(path, id, stored, made);
    if (status != kErrorSuccess) return status;
    if (created != nullptr) *created = made;
    return make_handle(*from, hive, id, std::move(stored), access, out);
}

RegStatus close_key(RegistryKey& key) {
    if (!key.is_open()) return kErrorInvalidHandle;
    key.reset();
    return kErrorSuccess;
}

RegStatus delete_key(const RegistryKey& parent, std::string_view sub_key) {
    const OpenKey* from = parent.impl().get();
    if (from == nullptr) return kErrorInvalidHandle;
    std::shared_ptr<Hive> hive;
    const RegStatus status = hive_of(*from, hive, true);
    if (status != kErrorSuccess) return status;
    return hive->delete_key(key_path::join(from->path, sub_key));
}

RegStatus query_value(const RegistryKey& key, std::string_view name, std::uint32_t& type,
                      std::span<std::uint8_t> buffer, std::uint32_t& size) {
    const OpenKey* open = key.impl().get();
    if (open == nullptr) return kErrorInvalidHandle;
    if ((open->access & kKeyQueryValue) == 0) return kErrorAccessDenied;
    name = key_path::c_string(name);
    if (open->run_key) {
        autostart::Entry entry;
        const RegStatus status = autostart::read(scope_of(*open), name, entry);
        if (status != kErrorSuccess) return status;
        type = entry.type;
        return copy_out(entry.data, buffer, size);
    }
    std::shared_ptr<Hive> hive;
    const RegStatus status = hive_of(*open, hive);
    if (status != kErrorSuccess) return status;
    return hive->query_value(open->id, name, type, buffer, size);
}

RegStatus set_value(const RegistryKey& key, std::string_view name, std::uint32_t type,
                    std::span<const std::uint8_t> data) {
    const OpenKey* open = key.impl().get();
    if (open == nullptr) return kErrorInvalidHandle;
    if ((open->access & kKeySetValue) == 0) return kErrorAccessDenied;
    if (data.size() >= std::numeric_limits<std::uint32_t>::max()) return kErrorInvalidParameter;
    name = key_path::c_string(name);
    std::shared_ptr<Hive> hive;
    RegStatus status = hive_of(*open, hive);
    if (status != kErrorSuccess) return status;
    if (!hive->writable()) return kErrorAccessDenied;

    std::vector<std::uint8_t> terminated;
    if (is_string_type(type) && !data.empty() && data.back() != 0) {
        // The caller's ANSI buffer ends in a NUL after the counted bytes; it is stored with the text.
        terminated.reserve(data.size() + 1);
        terminated.assign(data.begin(), data.end());
        terminated.push_back(0);
        data = terminated;
    }
    if (open->run_key) return autostart::write(scope_of(*open), name, type, data);
    return hive->set_value(open->id, name, type, data);
}

RegStatus delete_value(const RegistryKey& key, std::string_view name) {
    const OpenKey* open = key.impl().get();
    if (open == nullptr) return kErrorInvalidHandle;
    if ((open->access & kKeySetValue) == 0) return kErrorAccessDenied;
    name = key_path::c_string(name);
    std::shared_ptr<Hive> hive;
    const RegStatus status = hive_of(*open, hive);
    if (status != kErrorSuccess) return status;
    if (open->run_key) {
        if (!hive->writable()) return kErrorAccessDenied;
        return autostart::remove(scope_of(*open), name);
    }
    return hive->delete_value(open->id, name);
}

RegStatus enum_key(const RegistryKey& key, std::uint32_t index, std::string& name) {
    const OpenKey* open = key.impl().get();
    if (open == nullptr) return kErrorInvalidHandle;
    if ((open->access & kKeyEnumerateSubKeys) == 0) return kErrorAccessDenied;
    std::shared_ptr<Hive> hive;
    const RegStatus status = hive_of(*open, hive);
    if (status != kErrorSuccess) return status;
    return hive->sub_key_at(open->id, index, name);
}

RegStatus enum_value(const RegistryKey& key, std::uint32_t index, std::string& name, std::uint32_t& type,
                     std::span<std::uint8_t> buffer, std::uint32_t& size) {
    const OpenKey* open = key.impl().get();
    if (open == nullptr) return kErrorInvalidHandle;
    if ((open->access & kKeyQueryValue) == 0) return kErrorAccessDenied;
    if (open->run_key) {
        autostart::Entry entry;
        const RegStatus status = autostart::entry_at(scope_of(*open), index, entry);
        if (status != kErrorSuccess) return status;
        name = entry.name;
        type = entry.type;
        return copy_out(entry.data, buffer, size);
    }
    std::shared_ptr<Hive> hive;
    const RegStatus status = hive_of(*open, hive);
    if (status != kErrorSuccess) return status;
    return hive->value_at(open->id, index, name, type, buffer, size);
}

void close_cached_hives() {
    std::lock_guard lock(cache_mutex);
    hive_cache().clear();
}

std::filesystem::path hive_path(RootKey root) {
    std::lock_guard lock(cache_mutex);
    return hive_file(root);
}

namespace {

constexpr std::string_view kDamagedMark = ".damaged-";

std::string local_time_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = {};
    if (::localtime_r(&now, &parts) == nullptr || std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &parts) == 0)
        return std::to_string(static_cast<long long>(now));
    return text;
}

}  // namespace

RegStatus set_damaged_hive_aside(RootKey root, std::filesystem::path& kept) {
    if (root != kHkeyLocalMachine && root != kHkeyCurrentUser) return kErrorInvalidHandle;
    std::lock_guard lock(cache_mutex);
    const std::filesystem::path file = hive_file(root);
    hive_cache().erase(file.native());
    // Two damaged files in one second keep apart.
    const std::string stem = file.string() + std::string(kDamagedMark) + local_time_stamp();
    std::string target = stem;
    for (int serial = 2; ::access(target.c_str(), F_OK) == 0; ++serial) target = stem + "." + std::to_string(serial);
    // Renamed, not copied: the folder is the owner's alone, and a rename keeps owner and mode.
    if (::rename(file.c_str(), target.c_str()) != 0) return status_from_errno(errno);
    for (const char* suffix : {"-wal", "-shm"}) {
        const std::string from = file.string() + suffix;
        if (::rename(from.c_str(), (target + suffix).c_str()) != 0 && errno != ENOENT) return status_from_errno(errno);
    }
    kept = target;
    return kErrorSuccess;
}

std::vector<std::filesystem::path> damaged_hives(RootKey root) {
    std::vector<std::filesystem::path> found;
    std::filesystem::path file;
    {
        std::lock_guard lock(cache_mutex);
        file = hive_file(root);
    }
    const std::string prefix = file.filename().string() + std::string(kDamagedMark);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        if (name.ends_with("-wal") || name.ends_with("-shm")) continue;
        found.push_back(entry.path());
    }
    // The time in the name sorts as text.
    std::sort(found.begin(), found.end());
    return found;
}

}  // namespace corvane::platform
