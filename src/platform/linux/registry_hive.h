#pragma once
// One hive: a SQLite database holding the keys and values below one root.
//
// Tables: keys(id, parent, name, path) where path is the key's full path in its stored case and is
// unique without regard to case (id 0 is the root, never stored; ids are never reused), and
// vals(key, name, type, data) in order of creation. The database keeps a write-ahead log
// (journal_mode=WAL): readers never wait for a writer, nor a writer for readers, and only two writers
// wait for each other. Every write is one IMMEDIATE transaction with synchronous=EXTRA, so it is on
// disk when it returns. The log and its index (-wal, -shm) stay beside the file when the last
// connection closes, so readers that may not create files in the folder (other users of the machine
// hive) can still read it.
//
// How long a call waits for another process's lock is this thread's own budget (SetStoreWait): a
// thread that must not stall (the engine's) tries once and gets kErrorBusy, and tries again later.
//
// A file that is not a database, a truncated one, one whose tables are missing or of another shape,
// or a folder (or anything but a file) in the file's place is damaged: open gives kErrorBadDb, and so
// does any later call that meets the damage. A file of 0 bytes is made a new hive (and noted, see
// take_empty_hive_made).
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "platform/linux/sqlite_db.h"
#include "platform/registry.h"

namespace corvane::platform {

inline constexpr std::int64_t kRootKeyId = 0;

// How long a store call on this thread waits for another process's lock before it answers
// kErrorBusy. kDefaultStoreWait unless set.
inline constexpr std::chrono::milliseconds kDefaultStoreWait{5000};
void SetStoreWait(std::chrono::milliseconds wait);
std::chrono::milliseconds StoreWait();

// Sets this thread's wait for as long as it lives, and puts the previous one back.
class ScopedStoreWait {
public:
    explicit ScopedStoreWait(std::chrono::milliseconds wait) : previous_(StoreWait()) { SetStoreWait(wait); }
    ~ScopedStoreWait() { SetStoreWait(previous_); }
    ScopedStoreWait(const ScopedStoreWait&) = delete;
    ScopedStoreWait& operator=(const ScopedStoreWait&) = delete;

private:
    std::chrono::milliseconds previous_;
};

class Hive {
public:
    struct Options {
        std::filesystem::path file;
        unsigned dir_mode = 0755;               // folders created for the hive
        unsigned file_mode = 0644;              // the database file itself
        std::vector<std::string> initial_keys;  // created with the schema
    };

    // Opens (creating when allowed) the hive. A hive that does not exist and cannot be created gives
    // an empty, read-only hive. Corrupt or unreadable files give an error status.
    static RegStatus open(const Options& options, std::shared_ptr<Hive>& out);

    bool writable() const { return writable_; }
    // False for a hive with no database yet (nothing stored; reads find nothing).
    bool stored() const { return static_cast<bool>(db_); }
    // A call met damage (SQLite's CORRUPT or NOTADB) after the open.
    bool damaged() const { return damaged_.load(std::memory_order_relaxed); }
    // The file at the hive's path is still the one this connection has open (not removed, not
    // replaced). A hive without a database answers whether there is still no file.
    bool still_at_path() const;

    // A read snapshot shared by the open keys of this process: while any key opened by open_key is
    // open, reads share one read transaction (one lock for the open and the query that follows it).
    // A write of this process ends the snapshot first, so it never waits for itself.
    void begin_read();
    void end_read();

    // Key ids by normalized path; kErrorFileNotFound when absent.
    RegStatus find_key(std::string_view path, std::int64_t& id, std::string& stored_path);
    RegStatus create_key(std::string_view path, std::int64_t& id, std::string& stored_path, bool& created);
    RegStatus delete_key(std::string_view path);

    RegStatus query_value(std::int64_t key, std::string_view name, std::uint32_t& type, std::span<std::uint8_t> buffer,
                          std::uint32_t& size);
    RegStatus set_value(std::int64_t key, std::string_view name, std::uint32_t type,
                        std::span<const std::uint8_t> data);
    RegStatus delete_value(std::int64_t key, std::string_view name);
    RegStatus sub_key_at(std::int64_t key, std::uint32_t index, std::string& name);
    RegStatus value_at(std::int64_t key, std::uint32_t index, std::string& name, std::uint32_t& type,
                       std::span<std::uint8_t> buffer, std::uint32_t& size);

protected:
    Hive() = default;

private:
    RegStatus prepare_statements();
    RegStatus create_schema(const std::vector<std::string>& initial_keys);
    RegStatus key_alive(std::int64_t key);
    RegStatus create_key_locked(std::string_view path, std::int64_t& id, std::string& stored_path, bool& created);
    RegStatus fail(int sqlite_code);
    void end_snapshot_locked();
    template <typename Body>
    RegStatus write_locked(Body&& body);

    std::mutex mutex_;
    sqlite::Db db_;
    std::filesystem::path file_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::atomic<bool> damaged_{false};
    bool writable_ = false;
    int readers_ = 0;
    sqlite::Statement begin_read_;
    sqlite::Statement find_key_;
    sqlite::Statement insert_key_;
    sqlite::Statement key_alive_;
    sqlite::Statement has_children_;
    sqlite::Statement delete_key_;
    sqlite::Statement delete_key_values_;
    sqlite::Statement get_value_;
    sqlite::Statement upsert_value_;
    sqlite::Statement delete_value_;
    sqlite::Statement sub_key_at_;
    sqlite::Statement value_at_;
    sqlite::Statement begin_;
    sqlite::Statement commit_;
    sqlite::Statement rollback_;
};

// SQLite result code to registry result code.
RegStatus status_from_sqlite(int sqlite_code);

// Whether the tables of an open database are the hive's: "keys" and "vals" with their columns. An
// empty database (no tables at all) is a new hive; kErrorBadDb when they are missing, of another
// shape or unreadable.
RegStatus check_hive_schema(sqlite3* db, bool& empty);

// A value read from a damaged hive file, as far as it can be read.
struct SalvagedValue {
    std::string name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};
// The values of key `path` (normalized, as stored) in the database at `file` that can still be read;
// none when the file is not a database or the key cannot be found.
std::vector<SalvagedValue> salvage_values(const std::filesystem::path& file, std::string_view path);

// The hive of `root` (HKLM or HKCU) found damaged, set aside: closed in this process, renamed with its
// log and index to "<file>.damaged-YYYYMMDDTHHMMSS" (local time) in the same folder, so that the next
// use makes a new one. `kept` is the damaged file's new name.
RegStatus set_damaged_hive_aside(RootKey root, std::filesystem::path& kept);

// Whether this process found the hive file at `file` empty (0 bytes: whatever it held is gone) and
// made a new hive in it; true once for each time, so that it is said once.
bool take_empty_hive_made(const std::filesystem::path& file);

// The damaged files of `root`'s hive kept beside it, oldest first.
std::vector<std::filesystem::path> damaged_hives(RootKey root);

// The database file of `root` (HKLM or HKCU) in this process's environment.
std::filesystem::path hive_path(RootKey root);

}  // namespace corvane::platform
