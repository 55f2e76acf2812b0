#include "Transfer.h"

#include "Address.h"

#include <QStringDecoder>

#include <sqlite3.h>

namespace Transfer {

QString FromUtf8(QByteArrayView utf8) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                       QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(utf8);
}

bool IsPageScheme(const QString& scheme) {
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
           scheme == QLatin1String("ftp") || scheme == QLatin1String("file");
}

QString BrowserAddress(const QString& typed) {
    const QString address = Address::ForOpening(typed);
    return IsPageScheme(Address::SchemeOf(address)) ? address : QString();
}

Statement::Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        failed_ = true;
    }
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
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    if (error)
        *error = LastError(db);
    return false;
}

QString LastError(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

} // namespace Transfer
