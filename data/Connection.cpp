#include "Connection.h"

#include "Catalogue.h"
#include "Matching.h"

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
}

// Waits the way SQLite's own busy timeout does, short sleeps first, but tells the
// window when a wait begins so that the user sees that the program is waiting.
int Connection::OnBusy(void* self, int attempt) {
    static constexpr int kDelaysMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    auto* connection = static_cast<Connection*>(self);
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
    if (db_)
        sqlite3_set_authorizer(db_, beforeFirstWrite_ ? Authorize : nullptr, this);
}

// SQLite asks before compiling each part of a statement, so every path that writes
// passes here, whichever code prepares it.
int Connection::Authorize(void* self, int action, const char* table, const char*, const char*,
                          const char*) {
    auto* connection = static_cast<Connection*>(self);
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
    sqlite3* db = nullptr;
    // Every statement of the program may filter with InStr, so the connection is not
    // usable without it.
    const auto setUp = [this](sqlite3* handle) {
        sqlite3_busy_handler(handle, &Connection::OnBusy, this);
        if (beforeFirstWrite_)
            sqlite3_set_authorizer(handle, Authorize, this);
        return RegisterMatching(handle);
    };
    if (!Catalogue::OpenExisting(fileName_, Catalogue::Access::ReadWrite, &db, error, setUp))
        return false;
    db_ = db;
    ++generation_;
    return true;
}

void Connection::Close() {
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

static bool Exec(sqlite3* db, const char* sql, QString* error) {
    if (!db) {
        if (error)
            *error = QStringLiteral("database is not open");
        return false;
    }
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        if (error)
            *error = QString::fromUtf8(sqlite3_errmsg(db));
        return false;
    }
    return true;
}

bool Connection::Begin(QString* error) {
    WaitScope scope(this);
    if (!Open(error))
        return false;
    // IMMEDIATE takes the write lock up front, so a second running copy waits on
    // BEGIN (busy timeout) rather than failing half-way through.
    return Exec(db_, "BEGIN IMMEDIATE", error);
}

bool Connection::Commit(QString* error) {
    WaitScope scope(this);
    return Exec(db_, "COMMIT", error);
}

void Connection::Rollback() {
    WaitScope scope(this);
    if (InTransaction())
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool Connection::InTransaction() const {
    return db_ && !sqlite3_get_autocommit(db_);
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
