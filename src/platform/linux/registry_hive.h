#pragma once
// One hive: a SQLite database holding the keys and values below one root.
//
// Tables: keys(id, parent, name, path) where path is the key's full path in its stored case and is
// unique without regard to case (id 0 is the root, never stored; ids are never reused), and
// vals(key, name, type, data) in order of creation. Every write is one IMMEDIATE transaction with
// synchronous=EXTRA in rollback-journal mode, so it is on disk when it returns and readers that may
// not write the file (other users of the machine hive) can still read it.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/sqlite_db.h"
#include "platform/registry.h"

namespace corvane::platform {

inline constexpr std::int64_t kRootKeyId = 0;

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

}  // namespace corvane::platform
