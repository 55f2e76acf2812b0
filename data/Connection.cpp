#include "Connection.h"

#include "Matching.h"

#include <QFile>

#include <sqlite3.h>
#include <utility>

Connection::Connection(QString fileName) : fileName_(std::move(fileName)) {}

Connection::~Connection() {
    Close();
}

void Connection::SetFileName(const QString& fileName) {
    Close();
    fileName_ = fileName;
}

void Connection::SetBusyTimeout(int milliseconds) {
    busyTimeoutMs_ = milliseconds;
    if (db_)
        sqlite3_busy_timeout(db_, busyTimeoutMs_);
}

void Connection::SetBeforeFirstWrite(std::function<void()> hook) {
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
        if (connection->beforeFirstWrite_)
            std::exchange(connection->beforeFirstWrite_, nullptr)();
        break;
    default:
        break;
    }
    return SQLITE_OK;
}

static QString ErrorText(sqlite3* db, int code) {
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(code));
}

bool Connection::Open(QString* error) {
    if (db_)
        return true;
    sqlite3* db = nullptr;
    // No SQLITE_OPEN_CREATE: a missing catalogue must stay missing.
    int rc = sqlite3_open_v2(QFile::encodeName(fileName_).constData(), &db, SQLITE_OPEN_READWRITE,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, busyTimeoutMs_);
        // Every statement of the program may filter with InStr, so the connection is not
        // usable without it.
        rc = RegisterMatching(db);
        if (beforeFirstWrite_)
            sqlite3_set_authorizer(db, Authorize, this);
    }
    if (rc == SQLITE_OK) {
        // SQLite reads the header lazily; touch the schema now so a file that is not
        // a database fails here and is retried next time instead of staying "open".
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        if (error)
            *error = ErrorText(db, rc);
        sqlite3_close(db);
        return false;
    }
    db_ = db;
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
    if (!Open(error))
        return false;
    // IMMEDIATE takes the write lock up front, so a second running copy waits on
    // BEGIN (busy timeout) rather than failing half-way through.
    return Exec(db_, "BEGIN IMMEDIATE", error);
}

bool Connection::Commit(QString* error) {
    return Exec(db_, "COMMIT", error);
}

void Connection::Rollback() {
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
