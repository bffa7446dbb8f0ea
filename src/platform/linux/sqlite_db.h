#pragma once
// Owning wrappers for SQLite connections and prepared statements.
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace corvane::platform::sqlite {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};

// A prepared statement kept for the life of its connection. Each use goes through a Use, which
// binds and steps and resets the statement (and clears its bindings) when it goes out of scope.
class Statement {
public:
    Statement() = default;
    // Prepares `sql` on `db`; returns the SQLite result code.
    int prepare(sqlite3* db, std::string_view sql);
    sqlite3_stmt* get() const { return stmt_.get(); }

    class Use {
    public:
        explicit Use(const Statement& statement) : stmt_(statement.get()) {}
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;
        ~Use() {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
        int bind(int index, std::int64_t value) { return sqlite3_bind_int64(stmt_, index, value); }
        int bind(int index, std::string_view text) {
            return sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
        }
        int bind(int index, std::span<const std::uint8_t> blob) {
            // A zero-length blob must still be a blob, not NULL.
            static const std::uint8_t kEmpty = 0;
            return sqlite3_bind_blob64(stmt_, index, blob.empty() ? &kEmpty : blob.data(), blob.size(), SQLITE_STATIC);
        }
        int step() { return sqlite3_step(stmt_); }
        std::int64_t column_int(int column) const { return sqlite3_column_int64(stmt_, column); }
        std::string_view column_text(int column) const {
            const auto* text = sqlite3_column_text(stmt_, column);
            const int size = sqlite3_column_bytes(stmt_, column);
            return text ? std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size))
                        : std::string_view();
        }
        std::span<const std::uint8_t> column_blob(int column) const {
            const void* blob = sqlite3_column_blob(stmt_, column);
            const int size = sqlite3_column_bytes(stmt_, column);
            return blob ? std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(blob),
                                                        static_cast<std::size_t>(size))
                        : std::span<const std::uint8_t>();
        }

    private:
        sqlite3_stmt* stmt_;
    };

private:
    std::unique_ptr<sqlite3_stmt, StatementFinalizer> stmt_;
};

inline int Statement::prepare(sqlite3* db, std::string_view sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc =
        sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    stmt_.reset(raw);
    return rc;
}

}  // namespace corvane::platform::sqlite
