#include "QuerySql.h"

#include <QByteArray>

#include <sqlite3.h>

namespace QuerySql {

Statement::Statement(sqlite3* db, const QString& sql, QString* error) {
    const QByteArray text = sql.toUtf8();
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, text.constData(), static_cast<int>(text.size()), &handle_, &tail) !=
        SQLITE_OK) {
        *error = QString::fromUtf8(sqlite3_errmsg(db));
        return;
    }
    if (!handle_ || (tail && *QByteArray(tail).trimmed().constData() != '\0' &&
                     QByteArray(tail).trimmed() != ";")) {
        *error = QStringLiteral("a query takes exactly one statement");
        sqlite3_finalize(handle_);
        handle_ = nullptr;
    }
}

Statement::~Statement() {
    sqlite3_finalize(handle_);
}

bool Bind(sqlite3_stmt* statement, int position, const QVariant& value) {
    if (value.isNull())
        return sqlite3_bind_null(statement, position) == SQLITE_OK;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
    case QMetaType::Bool:
        return sqlite3_bind_int64(statement, position, value.toLongLong()) == SQLITE_OK;
    case QMetaType::Double:
        return sqlite3_bind_double(statement, position, value.toDouble()) == SQLITE_OK;
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return sqlite3_bind_blob64(statement, position, bytes.constData(), bytes.size(),
                                   SQLITE_TRANSIENT) == SQLITE_OK;
    }
    default: {
        const QByteArray text = value.toString().toUtf8();
        return sqlite3_bind_text64(statement, position, text.constData(), text.size(),
                                   SQLITE_TRANSIENT, SQLITE_UTF8) == SQLITE_OK;
    }
    }
}

QString Quoted(const QString& identifier) {
    return QLatin1Char('"') + QString(identifier).replace(QLatin1Char('"'), QLatin1String("\"\"")) +
           QLatin1Char('"');
}

QString ErrorOf(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

} // namespace QuerySql
