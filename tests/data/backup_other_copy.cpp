// Another running copy of the program, as the backup tests need one: a process of its own,
// so that its locks and SQLite's view of them are not shared with the test's.
//   backup_other_copy writable PATH
//       exits 1 when a store could begin at once, 0 when the file is taken
//   backup_other_copy store-after-wait PATH
//       reads until another process waits to write, then stores as fast as it can until
//       standard input closes, printing the name of each site it stored
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

int Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

sqlite3* Open(const char* path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE, nullptr);
    return db;
}

bool LockedByAnother(int fd, off_t byte) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// Whether another process holds SQLite's reserved and pending locks together: it has
// begun to write and waits for readers to go. The pending lock alone is also taken for
// a moment by every reader on its way to its shared lock.
bool AnotherWaitsToWrite(int fd) {
    constexpr off_t kPendingByte = 0x40000000;
    return LockedByAnother(fd, kPendingByte + 1) && LockedByAnother(fd, kPendingByte);
}

bool InputClosed() {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    return ::poll(&in, 1, 0) > 0;
}

int StoreAfterWait(const char* path) {
    // Open until the process ends: closing it would drop this process's own locks.
    const int probe = ::open(path, O_RDONLY | O_CLOEXEC);
    sqlite3* reader = Open(path);
    if (probe < 0 || Exec(reader, "BEGIN; SELECT count(*) FROM sqlite_schema") != SQLITE_OK)
        return 2;
    std::puts("ready");
    std::fflush(stdout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!AnotherWaitsToWrite(probe)) {
        if (std::chrono::steady_clock::now() > deadline)
            return 3;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Exec(reader, "COMMIT");
    sqlite3* writer = Open(path);
    for (int n = 1; !InputClosed(); ++n) {
        const std::string name = "stored " + std::to_string(n);
        const std::string sql =
            "BEGIN IMMEDIATE; INSERT INTO Web (WebName) VALUES ('" + name + "')";
        if (Exec(writer, sql.c_str()) == SQLITE_OK && Exec(writer, "COMMIT") == SQLITE_OK) {
            std::puts(name.c_str());
            std::fflush(stdout);
        } else {
            Exec(writer, "ROLLBACK");
        }
    }
    sqlite3_close(writer);
    sqlite3_close(reader);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "writable") == 0) {
        sqlite3* db = Open(argv[2]);
        const int taken = Exec(db, "BEGIN IMMEDIATE") == SQLITE_OK ? 1 : 0;
        sqlite3_close(db);
        return taken;
    }
    if (argc == 3 && std::strcmp(argv[1], "store-after-wait") == 0)
        return StoreAfterWait(argv[2]);
    return 2;
}
