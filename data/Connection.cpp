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
