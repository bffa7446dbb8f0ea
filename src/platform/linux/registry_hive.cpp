#include "platform/linux/registry_hive.h"
#include "platform/linux/registry_status.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/linux/registry_key_path.h"
#include "platform/paths.h"
#include "platform/unique_fd.h"

namespace corvane::platform {

namespace {

// This thread's wait for another process's lock. The default is long: writers are not queued, and a
// process writing many values back to back keeps the lock most of the time, so the wait must cover
// such a burst (a few hundred writes), yet stay short enough for a window's handler.
thread_local std::chrono::milliseconds store_wait = kDefaultStoreWait;
// How long an opener waits at least for another process setting up a new hive (a moment's work).
constexpr std::chrono::milliseconds kSetUpWait{2000};

// SQLite's own steps between tries (sqliteDefaultBusyCallback), in ms, and the time waited before each.
constexpr int kBusyDelays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
constexpr int kBusyTotals[] = {0, 1, 3, 8, 18, 33, 53, 78, 103, 128, 178, 228};

// Called by SQLite on the thread whose statement found the lock taken: 0 gives up (SQLITE_BUSY).
int WaitForLock(void*, int tries) {
    constexpr int kSteps = static_cast<int>(std::size(kBusyDelays));
    const auto budget = store_wait.count();
    int delay = 0;
    long long waited = 0;
    if (tries < kSteps) {
        delay = kBusyDelays[tries];
        waited = kBusyTotals[tries];
    } else {
        delay = kBusyDelays[kSteps - 1];
        waited = kBusyTotals[kSteps - 1] + static_cast<long long>(tries - (kSteps - 1)) * delay;
    }
    if (waited + delay > budget) {
        delay = static_cast<int>(budget - waited);
        if (delay <= 0) return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    return 1;
}

// The columns each table of the hive must have, in order.
struct TableShape {
    std::string_view table;
    std::string_view columns[4];
};
constexpr TableShape kTables[] = {
    {"keys", {"id", "parent", "name", "path"}},
    {"vals", {"key", "name", "type", "data"}},
};

constexpr std::string_view kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  path TEXT NOT NULL UNIQUE COLLATE NOCASE);"
    "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent, name);"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE(key, name));";

// A write transaction that rolls back unless committed.
class WriteTransaction {
public:
    WriteTransaction(sqlite::Statement& begin, sqlite::Statement& commit, sqlite::Statement& rollback)
        : commit_(commit), rollback_(rollback) {
        sqlite::Statement::Use use(begin);
        status_ = use.step();
        active_ = status_ == SQLITE_DONE;
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    ~WriteTransaction() {
        if (active_) {
            sqlite::Statement::Use use(rollback_);
            (void)use.step();  // Nothing more can be done if even the rollback fails.
        }
    }
    // SQLITE_DONE when the transaction began.
    int begin_status() const { return status_; }
    int commit() {
        sqlite::Statement::Use use(commit_);
        const int rc = use.step();
        if (rc == SQLITE_DONE) active_ = false;
        return rc;
    }

private:
    sqlite::Statement& commit_;
    sqlite::Statement& rollback_;
    int status_ = SQLITE_ERROR;
    bool active_ = false;
};

}  // namespace

RegStatus status_from_sqlite(int sqlite_code) {
    switch (sqlite_code & 0xff) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return kErrorSuccess;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return kErrorBusy;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return kErrorAccessDenied;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
            return kErrorBadDb;
        case SQLITE_NOMEM:
            return kErrorNotEnoughMemory;
        case SQLITE_TOOBIG:
            return kErrorInvalidParameter;
        default:
            return kErrorRegistryIoFailed;
    }
}

void SetStoreWait(std::chrono::milliseconds wait) { store_wait = wait.count() < 0 ? std::chrono::milliseconds(0) : wait; }
std::chrono::milliseconds StoreWait() { return store_wait; }

RegStatus check_hive_schema(sqlite3* db, bool& empty) {
    empty = false;
    sqlite::Statement tables;
    int rc = tables.prepare(db, "SELECT count(*) FROM sqlite_master");
    if (rc != SQLITE_OK) return status_from_sqlite(rc);
    {
        sqlite::Statement::Use use(tables);
        rc = use.step();
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? kErrorBadDb : status_from_sqlite(rc);
        if (use.column_int(0) == 0) {
            empty = true;
            return kErrorSuccess;
        }
    }
    sqlite::Statement columns;
    rc = columns.prepare(db, "SELECT name FROM pragma_table_info(?1) ORDER BY cid");
    if (rc != SQLITE_OK) return status_from_sqlite(rc);
    for (const TableShape& shape : kTables) {
        sqlite::Statement::Use use(columns);
        use.bind(1, shape.table);
        std::size_t found = 0;
        while ((rc = use.step()) == SQLITE_ROW) {
            if (found >= std::size(shape.columns) || use.column_text(0) != shape.columns[found]) return kErrorBadDb;
            ++found;
        }
        if (rc != SQLITE_DONE) return status_from_sqlite(rc);
        if (found != std::size(shape.columns)) return kErrorBadDb;
    }
    return kErrorSuccess;
}

namespace {

// The rows salvage_values reads, from the database at `uri`.
std::vector<SalvagedValue> read_rows(const std::string& uri, std::string_view path) {
    std::vector<SalvagedValue> values;
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(uri.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    const sqlite::Db db(raw);
    if (opened != SQLITE_OK) return values;
    sqlite::Statement query;
    if (query.prepare(db.get(),
                      "SELECT v.name, v.type, v.data FROM vals v JOIN keys k ON v.key = k.id WHERE k.path = ?1") !=
        SQLITE_OK)
        return values;
    sqlite::Statement::Use use(query);
    use.bind(1, path);
    // A row that cannot be read ends the salvage; what came before it is kept.
    while (use.step() == SQLITE_ROW) {
        const auto data = use.column_blob(2);
        values.push_back({std::string(use.column_text(0)), static_cast<std::uint32_t>(use.column_int(1)),
                          std::vector<std::uint8_t>(data.begin(), data.end())});
    }
    return values;
}

// `file` as the path of a "file:" URI: the characters a URI gives a meaning are escaped.
std::string uri_path(const std::filesystem::path& file) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string escaped;
    for (const char c : file.string()) {
        if (c == '%' || c == '?' || c == '#') {
            escaped.push_back('%');
            escaped.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
            escaped.push_back(kDigits[static_cast<unsigned char>(c) & 0xF]);
        } else {
            escaped.push_back(c);
        }
    }
    return escaped;
}

}  // namespace

std::vector<SalvagedValue> salvage_values(const std::filesystem::path& file, std::string_view path) {
    // With its log first (the newest values are there), then the file alone.
    const std::string uri = "file:" + uri_path(file);
    std::vector<SalvagedValue> values = read_rows(uri + "?mode=ro", path);
    if (values.empty()) values = read_rows(uri + "?mode=ro&immutable=1", path);
    return values;
}

bool Hive::still_at_path() const {
    struct stat info {};
    if (::stat(file_.c_str(), &info) != 0) return !db_ && errno == ENOENT;
    return db_ && info.st_dev == device_ && info.st_ino == inode_;
}

RegStatus Hive::fail(int sqlite_code) {
    const int primary = sqlite_code & 0xff;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) damaged_.store(true, std::memory_order_relaxed);
    const RegStatus status = status_from_sqlite(sqlite_code);
    return status == kErrorSuccess ? kErrorRegistryIoFailed : status;
}

namespace {

std::mutex empty_hives_mutex;
std::vector<std::filesystem::path>& empty_hives_made() {
    static std::vector<std::filesystem::path> made;
    return made;
}

void note_empty_hive_made(const std::filesystem::path& file) {
    std::lock_guard lock(empty_hives_mutex);
    auto& made = empty_hives_made();
    if (std::find(made.begin(), made.end(), file) == made.end()) made.push_back(file);
}

}  // namespace

bool take_empty_hive_made(const std::filesystem::path& file) {
    std::lock_guard lock(empty_hives_mutex);
    auto& made = empty_hives_made();
    const auto found = std::find(made.begin(), made.end(), file);
    if (found == made.end()) return false;
    made.erase(found);
    return true;
}

RegStatus Hive::open(const Options& options, std::shared_ptr<Hive>& out) {
    struct Access : Hive {};  // lets make_shared reach the private constructor
    auto hive = std::static_pointer_cast<Hive>(std::make_shared<Access>());
    hive->file_ = options.file;
    const std::string file = options.file.string();

    struct stat info {};
    // An existing file of 0 bytes holds no database: it is made anew below, and that is noted.
    bool found_empty = false;
    if (::stat(file.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            // A folder (or anything else) in the file's place holds no database: damaged, to be set
            // aside like any other damage.
            hive->damaged_.store(true, std::memory_order_relaxed);
            return kErrorBadDb;
        }
        found_empty = info.st_size == 0;
    } else {
        if (errno != ENOENT) return status_from_errno(errno);
        int error = make_directories(options.file.parent_path(), options.dir_mode);
        if (error == 0) {
            const int fd =
                ::open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(options.file_mode));
            if (fd >= 0) {
                if (::fchmod(fd, static_cast<mode_t>(options.file_mode)) != 0) error = errno;
                ::close(fd);
                // A log and index left by a database that is gone would be replayed into this one.
                for (const char* suffix : {"-wal", "-shm"}) {
                    if (::unlink((file + suffix).c_str()) != 0 && errno != ENOENT && error == 0) error = errno;
                }
            } else if (errno != EEXIST) {
                error = errno;
            }
        }
        if (error == EACCES || error == EPERM || error == EROFS) {
            // Nobody with the right to create it has used this hive yet: it is empty.
            out = std::move(hive);
            return kErrorSuccess;
        }
        if (error != 0) return status_from_errno(error);
    }

    // A file that holds no database yet (just made, here or by another process, or left empty) is set
    // up by one opener at a time: two processes setting it up at once each find the other's lock when
    // SQLite switches the file to its log, and one gives up. The lock is on the folder, not the file:
    // closing any descriptor of the file would drop the locks SQLite holds on it.
    UniqueFd setting_up;
    const auto set_up_alone = [&]() -> RegStatus {
        if (setting_up.Valid()) return kErrorSuccess;
        setting_up = UniqueFd(::open(options.file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!setting_up.Valid()) return status_from_errno(errno);
        const auto deadline = std::chrono::steady_clock::now() + std::max(store_wait, kSetUpWait);
        while (::flock(setting_up.Get(), LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= deadline)
                return errno == EWOULDBLOCK ? kErrorBusy : status_from_errno(errno);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return kErrorSuccess;
    };
    if (::stat(file.c_str(), &info) == 0 && info.st_size == 0) {
        if (const RegStatus status = set_up_alone(); status != kErrorSuccess) return status;
        // Set up by the other opener meanwhile: it holds a database now.
        if (found_empty && ::stat(file.c_str(), &info) == 0 && info.st_size > 0) found_empty = false;
    }

    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    hive->db_.reset(raw);
    if (rc != SQLITE_OK) {
        raw = nullptr;
        rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr);
        hive->db_.reset(raw);
        if (rc != SQLITE_OK) {
            const int error = sqlite3_system_errno(raw);
            return error == EACCES || error == EPERM ? kErrorAccessDenied : hive->fail(rc);
        }
    }
    sqlite3* db = hive->db_.get();
    // The file this connection reads, for still_at_path (a rename between the stat and the open
    // shows as a replaced file at the next look).
    if (::stat(file.c_str(), &info) == 0) {
        hive->device_ = info.st_dev;
        hive->inode_ = info.st_ino;
    }
    hive->writable_ = sqlite3_db_readonly(db, "main") == 0;
    rc = sqlite3_busy_handler(db, WaitForLock, nullptr);
    if (rc != SQLITE_OK) return hive->fail(rc);
    int persist = 1;
    rc = sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    if (rc != SQLITE_OK) return hive->fail(rc);
    if (hive->writable_) {
        // Set once, kept in the file; needs a moment without other connections' locks the first time.
        sqlite::Statement wal;
        rc = wal.prepare(db, "PRAGMA journal_mode=WAL");
        if (rc != SQLITE_OK) return hive->fail(rc);
        sqlite::Statement::Use use(wal);
        rc = use.step();
        if (rc != SQLITE_ROW) return hive->fail(rc);
        // The log is emptied to at most this size whenever it is reset.
        rc = sqlite3_exec(db, "PRAGMA journal_size_limit=65536", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) return hive->fail(rc);
    }
    rc = sqlite3_exec(db, "PRAGMA synchronous=EXTRA", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return hive->fail(rc);

    bool empty = false;
    RegStatus shape = check_hive_schema(db, empty);
    if (shape == kErrorSuccess && empty && hive->writable_ && !setting_up.Valid()) {
        // Found with a database but no tables: another opener may be making them right now.
        if (const RegStatus status = set_up_alone(); status != kErrorSuccess) return status;
        shape = check_hive_schema(db, empty);
    }
    if (shape != kErrorSuccess) {
        if (shape == kErrorBadDb) hive->damaged_.store(true, std::memory_order_relaxed);
        return shape;
    }
    if (empty) {
        if (!hive->writable_) {
            hive->db_.reset();  // an empty hive that only its owner may fill
            out = std::move(hive);
            return kErrorSuccess;
        }
        const RegStatus status = hive->create_schema(options.initial_keys);
        if (status != kErrorSuccess) return status;
        if (found_empty) note_empty_hive_made(options.file);
    } else {
        const RegStatus status = hive->prepare_statements();
        if (status != kErrorSuccess) return status;
    }
    out = std::move(hive);
    return kErrorSuccess;
}

RegStatus Hive::create_schema(const std::vector<std::string>& initial_keys) {
    sqlite3* db = db_.get();
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return fail(rc);
    rc = sqlite3_exec(db, std::string(kSchema).c_str(), nullptr, nullptr, nullptr);
    RegStatus status = rc == SQLITE_OK ? prepare_statements() : fail(rc);
    for (const std::string& key : initial_keys) {
        if (status != kErrorSuccess) break;
        std::int64_t id = 0;
        std::string stored;
        bool created = false;
        status = create_key_locked(key_path::normalize(key), id, stored, created);
    }
    if (status == kErrorSuccess) {
        rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) return kErrorSuccess;
        status = fail(rc);
    }
    (void)sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);  // the failure is what is reported
    return status;
}

RegStatus Hive::prepare_statements() {
    sqlite3* db = db_.get();
    const std::pair<sqlite::Statement*, std::string_view> statements[] = {
        {&find_key_, "SELECT id, path FROM keys WHERE path = ?1"},
        {&insert_key_, "INSERT INTO keys(parent, name, path) VALUES(?1, ?2, ?3)"},
        {&key_alive_, "SELECT 1 FROM keys WHERE id = ?1"},
        {&has_children_, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1"},
        {&delete_key_, "DELETE FROM keys WHERE id = ?1"},
        {&delete_key_values_, "DELETE FROM vals WHERE key = ?1"},
        {&get_value_, "SELECT type, data FROM vals WHERE key = ?1 AND name = ?2"},
        {&upsert_value_,
         "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
         "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data"},
        {&delete_value_, "DELETE FROM vals WHERE key = ?1 AND name = ?2"},
        {&sub_key_at_, "SELECT name FROM keys WHERE parent = ?1 ORDER BY name, id LIMIT 1 OFFSET ?2"},
        {&value_at_, "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid LIMIT 1 OFFSET ?2"},
        {&begin_, "BEGIN IMMEDIATE"},
        {&begin_read_, "BEGIN DEFERRED"},
        {&commit_, "COMMIT"},
        {&rollback_, "ROLLBACK"},
    };
    for (const auto& [statement, sql] : statements) {
        const int rc = statement->prepare(db, sql);
        if (rc != SQLITE_OK) return fail(rc);
    }
    return kErrorSuccess;
}

void Hive::begin_read() {
    std::lock_guard lock(mutex_);
    if (!db_) return;
    if (readers_++ == 0 && sqlite3_get_autocommit(db_.get()) != 0) {
        sqlite::Statement::Use use(begin_read_);
        (void)use.step();  // without the snapshot every read simply runs on its own
    }
}

void Hive::end_read() {
    std::lock_guard lock(mutex_);
    if (!db_ || readers_ == 0) return;
    if (--readers_ == 0) end_snapshot_locked();
}

void Hive::end_snapshot_locked() {
    if (sqlite3_get_autocommit(db_.get()) != 0) return;
    sqlite::Statement::Use use(commit_);
    if (use.step() != SQLITE_DONE) {
        sqlite::Statement::Use undo(rollback_);
        (void)undo.step();  // a read transaction holds nothing to lose
    }
}

RegStatus Hive::find_key(std::string_view path, std::int64_t& id, std::string& stored_path) {
    if (path.empty()) {
        id = kRootKeyId;
        stored_path.clear();
        return kErrorSuccess;
    }
    std::lock_guard lock(mutex_);
    if (!db_) return kErrorFileNotFound;
    sqlite::Statement::Use use(find_key_);
    use.bind(1, path);
    const int rc = use.step();
    if (rc == SQLITE_DONE) return kErrorFileNotFound;
    if (rc != SQLITE_ROW) return fail(rc);
    id = use.column_int(0);
    stored_path = use.column_text(1);
    return kErrorSuccess;
}

RegStatus Hive::create_key_locked(std::string_view path, std::int64_t& id, std::string& stored_path, bool& created) {
    id = kRootKeyId;
    stored_path.clear();
    created = false;
    std::string prefix;
    for (std::string_view part : key_path::split(path)) {
        if (!prefix.empty()) prefix.push_back('\\');
        prefix.append(part);
        {
            sqlite::Statement::Use find(find_key_);
            find.bind(1, std::string_view(prefix));
            const int rc = find.step();
            if (rc == SQLITE_ROW) {
                id = find.column_int(0);
                stored_path = find.column_text(1);
                created = false;
                continue;
            }
            if (rc != SQLITE_DONE) return fail(rc);
        }
        std::string stored = stored_path.empty() ? std::string(part) : stored_path + "\\" + std::string(part);
        sqlite::Statement::Use insert(insert_key_);
        insert.bind(1, id);
        insert.bind(2, part);
        insert.bind(3, std::string_view(stored));
        const int rc = insert.step();
        if (rc != SQLITE_DONE) return fail(rc);
        id = sqlite3_last_insert_rowid(db_.get());
        stored_path = std::move(stored);
        created = true;
    }
    return kErrorSuccess;
}

// Runs `body` inside one write transaction of the hive (the caller holds the lock): a body that does not
// answer success leaves nothing behind, one that does is on disk when this returns.
template <typename Body>
RegStatus Hive::write_locked(Body&& body) {
    end_snapshot_locked();
    WriteTransaction transaction(begin_, commit_, rollback_);
    if (transaction.begin_status() != SQLITE_DONE) return fail(transaction.begin_status());
    const RegStatus status = body();
    if (status != kErrorSuccess) return status;
    const int rc = transaction.commit();
    return rc == SQLITE_DONE ? kErrorSuccess : fail(rc);
}

RegStatus Hive::create_key(std::string_view path, std::int64_t& id, std::string& stored_path, bool& created) {
    std::lock_guard lock(mutex_);
    if (!db_ || !writable_) return kErrorAccessDenied;
    return write_locked([&] { return create_key_locked(path, id, stored_path, created); });
}

RegStatus Hive::delete_key(std::string_view path) {
    if (path.empty()) return kErrorAccessDenied;  // a root cannot be deleted
    std::lock_guard lock(mutex_);
    if (!db_) return kErrorFileNotFound;
    if (!writable_) return kErrorAccessDenied;
    return write_locked([&]() -> RegStatus {
        std::int64_t id = 0;
        {
            sqlite::Statement::Use find(find_key_);
            find.bind(1, path);
            const int rc = find.step();
            if (rc == SQLITE_DONE) return kErrorFileNotFound;
            if (rc != SQLITE_ROW) return fail(rc);
            id = find.column_int(0);
        }
        {
            sqlite::Statement::Use children(has_children_);
            children.bind(1, id);
            const int rc = children.step();
            if (rc == SQLITE_ROW) return kErrorAccessDenied;
            if (rc != SQLITE_DONE) return fail(rc);
        }
        for (sqlite::Statement* statement : {&delete_key_values_, &delete_key_}) {
            sqlite::Statement::Use remove(*statement);
            remove.bind(1, id);
            const int rc = remove.step();
            if (rc != SQLITE_DONE) return fail(rc);
        }
        return kErrorSuccess;
    });
}

RegStatus Hive::key_alive(std::int64_t key) {
    if (key == kRootKeyId) return kErrorSuccess;
    sqlite::Statement::Use use(key_alive_);
    use.bind(1, key);
    const int rc = use.step();
    if (rc == SQLITE_ROW) return kErrorSuccess;
    return rc == SQLITE_DONE ? kErrorKeyDeleted : fail(rc);
}

RegStatus Hive::query_value(std::int64_t key, std::string_view name, std::uint32_t& type,
                            std::span<std::uint8_t> buffer, std::uint32_t& size) {
    std::lock_guard lock(mutex_);
    if (!db_) return kErrorFileNotFound;
    {
        sqlite::Statement::Use use(get_value_);
        use.bind(1, key);
        use.bind(2, name);
        const int rc = use.step();
        if (rc == SQLITE_ROW) {
            type = static_cast<std::uint32_t>(use.column_int(0));
            return copy_out(use.column_blob(1), buffer, size);
        }
        if (rc != SQLITE_DONE) return fail(rc);
    }
    const RegStatus alive = key_alive(key);
    return alive == kErrorSuccess ? kErrorFileNotFound : alive;
}

RegStatus Hive::set_value(std::int64_t key, std::string_view name, std::uint32_t type,
                          std::span<const std::uint8_t> data) {
    std::lock_guard lock(mutex_);
    if (!db_ || !writable_) return kErrorAccessDenied;
    return write_locked([&]() -> RegStatus {
        const RegStatus alive = key_alive(key);
        if (alive != kErrorSuccess) return alive;
        sqlite::Statement::Use use(upsert_value_);
        use.bind(1, key);
        use.bind(2, name);
        use.bind(3, static_cast<std::int64_t>(type));
        use.bind(4, data);
        const int rc = use.step();
        return rc == SQLITE_DONE ? kErrorSuccess : fail(rc);
    });
}

RegStatus Hive::delete_value(std::int64_t key, std::string_view name) {
    std::lock_guard lock(mutex_);
    if (!db_) return kErrorFileNotFound;
    if (!writable_) return kErrorAccessDenied;
    return write_locked([&]() -> RegStatus {
        const RegStatus alive = key_alive(key);
        if (alive != kErrorSuccess) return alive;
        {
            sqlite::Statement::Use use(delete_value_);
            use.bind(1, key);
            use.bind(2, name);
            const int rc = use.step();
            if (rc != SQLITE_DONE) return fail(rc);
        }
        return sqlite3_changes(db_.get()) == 0 ? kErrorFileNotFound : kErrorSuccess;
    });
}

RegStatus Hive::sub_key_at(std::int64_t key, std::uint32_t index, std::string& name) {
    std::lock_guard lock(mutex_);
    if (!db_) return kErrorNoMoreItems;
    sqlite::Statement::Use use(sub_key_at_);
    use.bind(1, key);
    use.bind(2, static_cast<std::int64_t>(index));
    const int rc = use.step();
    if (rc == SQLITE_ROW) {
        name = use.column_text(0);
        return kErrorSuccess;
    }
    return rc == SQLITE_DONE ? kErrorNoMoreItems : fail(rc);
}

RegStatus Hive::value_at(std::int64_t key, std::uint32_t index, std::string& name, std::uint32_t& type,
                         std::span<std::uint8_t> buffer, std::uint32_t& size) {
    std::lock_guard lock(mutex_);
    if (!db_) return kErrorNoMoreItems;
    sqlite::Statement::Use use(value_at_);
    use.bind(1, key);
    use.bind(2, static_cast<std::int64_t>(index));
    const int rc = use.step();
    if (rc == SQLITE_DONE) return kErrorNoMoreItems;
    if (rc != SQLITE_ROW) return fail(rc);
    name = use.column_text(0);
    type = static_cast<std::uint32_t>(use.column_int(1));
    return copy_out(use.column_blob(2), buffer, size);
}

}  // namespace corvane::platform
