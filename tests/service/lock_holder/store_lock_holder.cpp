// Holds a lock on a settings store the way another process would, until it is ended (SIGTERM or
// SIGKILL; the system drops the lock with the process).
//
//   store_lock_holder FILE writer READY   BEGIN EXCLUSIVE: other writers wait, readers go on
//   store_lock_holder FILE file READY     the whole file (locking_mode=EXCLUSIVE): nobody reads either
//
// READY is created once the lock is held.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: store_lock_holder FILE writer|file READY\n");
        return 2;
    }
    const std::string mode = argv[2];
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "store_lock_holder: cannot open %s\n", argv[1]);
        return 1;
    }
    sqlite3_busy_timeout(db, 10000);
    const char* sql = mode == "file" ? "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; SELECT count(*) FROM vals"
                                     : "BEGIN EXCLUSIVE";
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "store_lock_holder: %s\n", sqlite3_errmsg(db));
        return 1;
    }
    const int ready = ::open(argv[3], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (ready < 0) return 1;
    static_cast<void>(::close(ready));
    for (;;) ::pause();
}
