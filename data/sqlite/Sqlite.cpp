#include "Sqlite.h"

#include "Cipher.h"

#include <QFile>

#include <sqlite3.h>

namespace Sqlite {

Database::~Database() {
    sqlite3_close_v2(db_);
}

Database& Database::operator=(Database&& other) noexcept {
    if (this != &other) {
        sqlite3_close_v2(db_);
        db_ = other.Release();
    }
    return *this;
}

int Database::Open(const QString& path, int flags, QString* error, int busyTimeoutMs) {
    int rc = OpenUnkeyed(path, flags, error, busyTimeoutMs);
    if (rc == SQLITE_OK) {
        rc = Cipher::Unlock(db_, path, error);
        if (rc != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    return rc;
}

int Database::OpenUnkeyed(const QString& path, int flags, QString* error, int busyTimeoutMs) {
    sqlite3_close_v2(Release());
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db_, flags, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db_, 1);
        if (busyTimeoutMs > 0)
            sqlite3_busy_timeout(db_, busyTimeoutMs);
    } else {
        if (error)
            *error = db_ ? LastError(db_) : QString::fromUtf8(sqlite3_errstr(rc));
        sqlite3_close(db_);
        db_ = nullptr;
    }
    return rc;
}

sqlite3* Database::Release() {
    sqlite3* db = db_;
    db_ = nullptr;
    return db;
}

int Database::Close() {
    const int rc = sqlite3_close(db_);
    if (rc == SQLITE_OK)
        db_ = nullptr;
    return rc;
}

Statement::Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        failed_ = true;
    }
}

Statement::Statement(sqlite3* db, const QString& sql, QString* error) {
    const QByteArray text = sql.toUtf8();
    const char* tail = nullptr;
    failed_ = true;
    if (sqlite3_prepare_v2(db, text.constData(), static_cast<int>(text.size()), &stmt_, &tail) !=
        SQLITE_OK) {
        if (error)
            *error = LastError(db);
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        return;
    }
    const QByteArray rest = tail ? QByteArray(tail).trimmed() : QByteArray();
    if (!stmt_ || (!rest.isEmpty() && rest != ";")) {
        if (error)
            *error = QStringLiteral("a query takes exactly one statement");
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        return;
    }
    failed_ = false;
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

bool Statement::Next() {
    if (!stmt_ || unbound_) {
        failed_ = true;
        return false;
    }
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    failed_ = failed_ || rc != SQLITE_DONE;
    return false;
}

bool Statement::Run() {
    if (!stmt_)
        return false;
    const bool ok = !unbound_ && sqlite3_step(stmt_) == SQLITE_DONE;
    sqlite3_reset(stmt_);
    unbound_ = false;
    failed_ = failed_ || !ok;
    return ok;
}

void Statement::Reset() {
    sqlite3_reset(stmt_);
    unbound_ = false;
    failed_ = !stmt_;
}

bool Statement::Bound(int rc) {
    unbound_ = unbound_ || rc != SQLITE_OK;
    failed_ = failed_ || rc != SQLITE_OK;
    return rc == SQLITE_OK;
}

bool Statement::BindText(int index, const QByteArray& utf8) {
    if (utf8.isNull())
        return BindNull(index);
    return Bound(sqlite3_bind_text64(stmt_, index, utf8.constData(), sqlite3_uint64(utf8.size()),
                                     SQLITE_TRANSIENT, SQLITE_UTF8));
}

bool Statement::BindInteger(int index, qint64 value) {
    return Bound(sqlite3_bind_int64(stmt_, index, value));
}

bool Statement::BindNull(int index) {
    return Bound(sqlite3_bind_null(stmt_, index));
}

bool Statement::Bind(int index, const QVariant& value) {
    if (value.isNull())
        return BindNull(index);
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
    case QMetaType::Bool:
        return BindInteger(index, value.toLongLong());
    case QMetaType::Double:
        return Bound(sqlite3_bind_double(stmt_, index, value.toDouble()));
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return Bound(sqlite3_bind_blob64(stmt_, index, bytes.constData(),
                                         sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT));
    }
    default: {
        // A value that is there is text, even an empty one: never no value.
        const QByteArray text = value.toString().toUtf8();
        return BindText(index, text.isNull() ? QByteArray("", 0) : text);
    }
    }
}

bool Statement::ReadOnly() const {
    return sqlite3_stmt_readonly(stmt_) != 0;
}

int Statement::Type(int column) const {
    return sqlite3_column_type(stmt_, column);
}

bool Statement::IsNull(int column) const {
    return Type(column) == SQLITE_NULL;
}

qint64 Statement::Integer(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

QByteArray Statement::Text(int column) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL)
        return {};
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    // An empty text must stay apart from no value: QByteArray("", 0) is empty, not null.
    return bytes ? QByteArray(bytes, sqlite3_column_bytes(stmt_, column)) : QByteArray("", 0);
}

QByteArrayView Statement::View(int column) const {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return {bytes, bytes ? sqlite3_column_bytes(stmt_, column) : 0};
}

bool Exec(sqlite3* db, const char* sql, QString* error) {
    if (!db) {
        if (error)
            *error = QStringLiteral("database is not open");
        return false;
    }
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    if (error)
        *error = LastError(db);
    return false;
}

qint64 LastInsertKey(sqlite3* db) {
    return sqlite3_last_insert_rowid(db);
}

bool Exec(sqlite3* db, const QString& sql, QString* error) {
    return Exec(db, sql.toUtf8().constData(), error);
}

QString LastError(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

int LastCode(sqlite3* db) {
    return sqlite3_extended_errcode(db);
}

bool InTransaction(sqlite3* db) {
    return sqlite3_get_autocommit(db) == 0;
}

Transaction::~Transaction() {
    if (open_ && InTransaction(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool Transaction::Begin(QString* error, const char* begin) {
    open_ = Exec(db_, begin, error);
    return open_;
}

bool Transaction::Commit(QString* error) {
    if (!open_ || !Exec(db_, "COMMIT", error))
        return false; // the destructor rolls back
    open_ = false;
    return true;
}

namespace {

// Whether the database keeps counters at all; false on a failure too, `*error` set.
bool HasCounters(sqlite3* db, bool* has, QString* error) {
    Statement exists(db, "SELECT 1 FROM sqlite_master WHERE name = 'sqlite_sequence'");
    *has = exists.Next();
    if (exists.Failed() && error)
        *error = LastError(db);
    return !exists.Failed();
}

} // namespace

QByteArray ReadCounter(sqlite3* db, const char* table, QString* error) {
    bool has = false;
    if (!HasCounters(db, &has, error))
        return {};
    if (!has)
        return QByteArrayLiteral("0");
    Statement seq(db, "SELECT seq FROM sqlite_sequence WHERE name = ?");
    seq.BindText(1, table);
    if (seq.Next())
        return QByteArray::number(seq.Integer(0));
    if (seq.Failed()) {
        if (error)
            *error = LastError(db);
        return {};
    }
    return QByteArrayLiteral("0");
}

bool RaiseCounter(sqlite3* db, const char* table, qint64 last, QString* error) {
    bool has = false;
    if (!HasCounters(db, &has, error))
        return false;
    if (!has)
        return true;
    Statement update(db, "UPDATE sqlite_sequence SET seq = max(seq, ?1) WHERE name = ?2");
    Statement insert(db, "INSERT INTO sqlite_sequence (name, seq) SELECT ?2, ?1 WHERE NOT "
                         "EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = ?2)");
    for (Statement* statement : {&update, &insert}) {
        if (!statement->BindInteger(1, last) || !statement->BindText(2, table) ||
            !statement->Run()) {
            if (error)
                *error = LastError(db);
            return false;
        }
    }
    return true;
}

} // namespace Sqlite
