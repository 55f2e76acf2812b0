#include "ResultShape.h"

#include "QuerySql.h"

#include <QRegularExpression>
#include <QStringList>

// Directly: where each column of a result comes from is SQLite's column metadata.
#include <sqlite3.h>

using QuerySql::Quoted;

ResultShape ResultShape::Of(sqlite3_stmt* statement) {
    sqlite3* db = sqlite3_db_handle(statement);
    const int columns = sqlite3_column_count(statement);
    ResultShape shape;
    shape.names.resize(columns);
    shape.origins.resize(columns);
    QString table;
    bool oneTable = columns > 0;
    int keyColumn = -1;
    for (int i = 0; i < columns; ++i) {
        shape.names[i] = QString::fromUtf8(sqlite3_column_name(statement, i));
        const char* tableName = sqlite3_column_table_name(statement, i);
        const char* origin = sqlite3_column_origin_name(statement, i);
        if (!tableName || !origin) {
            oneTable = false;
            continue;
        }
        const QString thisTable = QString::fromUtf8(tableName);
        if (table.isEmpty())
            table = thisTable;
        else if (table.compare(thisTable, Qt::CaseInsensitive) != 0)
            oneTable = false;
        shape.origins[i] = QString::fromUtf8(origin);
        const char* declared = nullptr;
        int primaryKey = 0;
        if (sqlite3_table_column_metadata(db, sqlite3_column_database_name(statement, i), tableName,
                                          origin, &declared, nullptr, nullptr, &primaryKey,
                                          nullptr) == SQLITE_OK &&
            primaryKey) {
            keyColumn = i;
            shape.integerKey =
                declared && QByteArray(declared).compare("INTEGER", Qt::CaseInsensitive) == 0;
        }
    }
    if (oneTable) {
        shape.table = table;
        shape.keyColumn = keyColumn;
    }
    return shape;
}

QString ResultShape::RowByKeySql() const {
    QStringList columns;
    for (const QString& origin : origins)
        columns << Quoted(origin);
    return QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?")
        .arg(columns.join(QLatin1Char(',')), Quoted(table), Quoted(origins[keyColumn]));
}

QString ResultShape::KeysSql(const QString& sql) const {
    static const QRegularExpression selectAll(QStringLiteral("^\\s*select\\s+\\*\\s"),
                                              QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = selectAll.match(sql);
    if (!match.hasMatch())
        return QString();
    return QStringLiteral("SELECT ") + Quoted(origins[keyColumn]) + QLatin1Char(' ') +
           sql.mid(match.capturedEnd());
}
