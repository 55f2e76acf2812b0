#include "Connection.h"

#include "Catalogue.h"
#include "Matching.h"

// Directly for the busy handler and the authorizer hook, which the layer does not wrap.
#include <sqlite3.h>

#include <algorithm>
#include <iterator>
#include <utility>

Connection::Connection(QString fileName, QObject* parent)
    : QObject(parent), fileName_(std::move(fileName)) {}

Connection::~Connection() {
    Close();
}

void Connection::SetFileName(const QString& fileName) {
    Close();
    fileName_ = fileName;
    damaged_ = false;
    damageTold_ = false;
}

// Waits the way SQLite's own busy timeout does, short sleeps first, but tells the
// window when a wait begins so that the user sees that the program is waiting.
int Connection::OnBusy(void* self, int attempt) {
    static constexpr int kDelaysMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    auto* connection = static_cast<Connection*>(self);
    if (connection->noWait_)
        return 0;
    if (attempt == 0) {
        connection->waitClock_.start();
        connection->ShowWait();
    }
    const qint64 left =
        connection->busyTimeoutMs_ - connection->hookWaitedMs_ - connection->waitClock_.elapsed();
    if (left <= 0)
        return 0;
    const int delay = kDelaysMs[std::min<int>(attempt, std::size(kDelaysMs) - 1)];
    sqlite3_sleep(static_cast<int>(std::min<qint64>(delay, left)));
    return 1;
}

void Connection::ShowWait() {
    // Only a wait inside a scope has an end that someone will report.
    if (!waiting_ && scopes_ > 0) {
        waiting_ = true;
        emit WaitStarted();
    }
}

void Connection::SetBeforeFirstWrite(std::function<bool(int)> hook) {
    beforeFirstWrite_ = std::move(hook);
}

// An index that has merely fallen out of step with its table, or a virtual table's own
// index, can be rebuilt from the table; any other damage is in what the user stored.
static bool IsDamage(int code) {
    return (code & 0xff) == SQLITE_CORRUPT && code != SQLITE_CORRUPT_INDEX &&
           code != SQLITE_CORRUPT_VTAB;
}

void Connection::NoteFailure() {
    if (db_ && IsDamage(Sqlite::LastCode(db_.Get())))
        damaged_ = true;
}

QString Connection::WithDamageNotice(const QString& text) {
    if (!damaged_ || std::exchange(damageTold_, true))
        return text;
    return text + QStringLiteral("\n数据库文件已损坏，本次运行不再写入任何内容。"
                                 "请关闭程序，用 sitemora-backup list 找到最新的备份，"
                                 "再用 sitemora-backup restore 加其名称恢复。");
}

// What a damaged file still lets a statement do: read, and undo what came before the
// damage showed. Writing into a damaged b-tree would only spread the damage.
static bool AllowedOnDamagedFile(int action, const char* arg1, const char* arg2,
                                 const char* database) {
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
        return true;
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
        // Reading pragma_table_info reports updates of sqlite_master; the temporary
        // database is not the file.
        return sqlite3_strnicmp(arg1, "sqlite_", 7) == 0 ||
               (database && sqlite3_stricmp(database, "temp") == 0);
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
        return sqlite3_stricmp(arg1, "ROLLBACK") == 0;
    case SQLITE_PRAGMA:
        // Pragmas that only ask; the table check runs at every open.
        return !arg2 || sqlite3_stricmp(arg1, "table_info") == 0;
    default:
        return false;
    }
}

// SQLite asks before compiling each part of a statement, so every path that writes
// passes here, whichever code prepares it.
int Connection::Authorize(void* self, int action, const char* table, const char* arg2,
                          const char* database, const char*) {
    auto* connection = static_cast<Connection*>(self);
    if (connection->damaged_ && !AllowedOnDamagedFile(action, table, arg2, database))
        return SQLITE_DENY;
    switch (action) {
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
        // SQLite's own tables: reading pragma_table_info reports updates of sqlite_master.
        if (sqlite3_strnicmp(table, "sqlite_", 7) == 0)
            break;
        [[fallthrough]];
    case SQLITE_TRANSACTION:
    case SQLITE_SAVEPOINT:
        if (connection->beforeFirstWrite_ && !connection->RunBeforeFirstWrite())
            return SQLITE_DENY;
        break;
    default:
        break;
    }
    return SQLITE_OK;
}

// Asked first without waiting, so that the busy cursor shows only when there is a wait.
bool Connection::RunBeforeFirstWrite() {
    std::function<bool(int)> hook = std::exchange(beforeFirstWrite_, nullptr);
    bool done = hook(0);
    if (!done) {
        ShowWait();
        QElapsedTimer clock;
        clock.start();
        done = hook(static_cast<int>(std::max<qint64>(0, busyTimeoutMs_ - hookWaitedMs_)));
        if (scopes_ > 0)
            hookWaitedMs_ += clock.elapsed();
    }
    if (!done)
        beforeFirstWrite_ = std::move(hook);
    return done;
}

Connection::WaitScope::WaitScope(Connection* connection) : connection_(connection) {
    if (connection_ && connection_->scopes_++ == 0)
        connection_->hookWaitedMs_ = 0;
}

Connection::WaitScope::~WaitScope() {
    if (!connection_ || --connection_->scopes_ > 0 || !connection_->waiting_)
        return;
    connection_->waiting_ = false;
    emit connection_->WaitFinished();
}

bool Connection::Open(QString* error) {
    if (db_)
        return true;
    WaitScope scope(this);
    Sqlite::Database db;
    // Every statement of the program may filter with InStr, so the connection is not
    // usable without it.
    const auto setUp = [this](sqlite3* handle) {
        sqlite3_busy_handler(handle, &Connection::OnBusy, this);
        sqlite3_set_authorizer(handle, Authorize, this);
        return RegisterMatching(handle);
    };
    if (!Catalogue::OpenExisting(fileName_, Catalogue::Access::ReadWrite, &db, error, setUp))
        return false;
    db_ = std::move(db);
    ++generation_;
    return true;
}

void Connection::Close() {
    db_ = Sqlite::Database();
}

bool Connection::Begin(QString* error) {
    WaitScope scope(this);
    if (!Open(error))
        return false;
    // IMMEDIATE takes the write lock up front, so a second running copy waits on
    // BEGIN (busy timeout) rather than failing half-way through.
    return Sqlite::Exec(db_.Get(), "BEGIN IMMEDIATE", error);
}

bool Connection::Commit(QString* error) {
    WaitScope scope(this);
    return Sqlite::Exec(db_.Get(), "COMMIT", error);
}

void Connection::Rollback() {
    WaitScope scope(this);
    if (InTransaction())
        Sqlite::Exec(db_.Get(), "ROLLBACK", nullptr);
}

bool Connection::InTransaction() const {
    return db_ && Sqlite::InTransaction(db_.Get());
}

Transaction::~Transaction() {
    if (open_)
        connection_.Rollback();
}

bool Transaction::Begin(QString* error) {
    open_ = connection_.Begin(error);
    return open_;
}

bool Transaction::Commit(QString* error) {
    if (!open_)
        return false;
    if (!connection_.Commit(error))
        return false; // the destructor rolls back
    open_ = false;
    return true;
}
