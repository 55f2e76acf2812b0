#include "RowWriter.h"

#include "QuerySql.h"
#include "RowStore.h"

#include <QStringList>

#include <sqlite3.h>

using QuerySql::Bind;
using QuerySql::Quoted;
using QuerySql::Statement;

bool RowWriter::Failed(const QString& failure, QString* error) const {
    if (error)
        *error = failure.isEmpty() ? QuerySql::ErrorOf(db_) : failure;
    return false;
}

bool RowWriter::Update(qint64 key, const std::vector<Value>& values, qint64* storedKey,
                       QString* error) {
    QStringList assignments;
    for (const Value& value : values)
        assignments << Quoted(shape_.origins[value.column]) + QStringLiteral(" = ?");
    QString failure;
    // RETURNING gives the key the row has after the store; the row is read back under it.
    Statement statement(db_,
                        QStringLiteral("UPDATE %1 SET %2 WHERE %3 = ? RETURNING %3")
                            .arg(Quoted(shape_.table), assignments.join(QStringLiteral(", ")),
                                 Quoted(shape_.origins[shape_.keyColumn])),
                        &failure);
    bool ok = static_cast<bool>(statement);
    for (std::size_t i = 0; ok && i < values.size(); ++i)
        ok = Bind(statement.get(), static_cast<int>(i) + 1, values[i].value);
    ok = ok &&
         sqlite3_bind_int64(statement.get(), static_cast<int>(values.size()) + 1, key) == SQLITE_OK;
    bool found = false;
    *storedKey = key;
    if (ok) {
        int rc = sqlite3_step(statement.get());
        if (rc == SQLITE_ROW) {
            found = true;
            *storedKey = sqlite3_column_int64(statement.get(), 0);
            rc = sqlite3_step(statement.get());
        }
        ok = rc == SQLITE_DONE;
    }
    if (!ok)
        return Failed(failure, error);
    if (!found)
        return Failed(QStringLiteral("找不到要更新的行：它已被删除。"), error);
    return true;
}

bool RowWriter::Insert(const std::vector<Value>& values, qint64* key, QString* error) {
    QStringList columns;
    QStringList marks;
    for (const Value& value : values) {
        columns << Quoted(shape_.origins[value.column]);
        marks << QStringLiteral("?");
    }
    const QString table = Quoted(shape_.table);
    const QString sql =
        columns.isEmpty()
            ? QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(table)
            : QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                  .arg(table, columns.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));
    QString failure;
    Statement statement(db_, sql, &failure);
    bool ok = static_cast<bool>(statement);
    for (std::size_t i = 0; ok && i < values.size(); ++i)
        ok = Bind(statement.get(), static_cast<int>(i) + 1, values[i].value);
    if (!ok || sqlite3_step(statement.get()) != SQLITE_DONE)
        return Failed(failure, error);
    *key = sqlite3_last_insert_rowid(db_);
    return true;
}

bool RowWriter::Delete(qint64 key, QString* error) {
    QString failure;
    Statement statement(db_,
                        QStringLiteral("DELETE FROM %1 WHERE %2 = ?")
                            .arg(Quoted(shape_.table), Quoted(shape_.origins[shape_.keyColumn])),
                        &failure);
    const bool ok = static_cast<bool>(statement) &&
                    sqlite3_bind_int64(statement.get(), 1, key) == SQLITE_OK &&
                    sqlite3_step(statement.get()) == SQLITE_DONE;
    return ok || Failed(failure, error);
}

bool RowWriter::ReadBack(qint64 key, RowStore& rows, int row, QString* error) {
    QString failure;
    Statement statement(db_, shape_.RowByKeySql(), &failure);
    if (!statement) {
        if (error)
            *error = failure;
        return false;
    }
    const int rc = sqlite3_bind_int64(statement.get(), 1, key) == SQLITE_OK
                       ? sqlite3_step(statement.get())
                       : SQLITE_ERROR;
    if (rc != SQLITE_ROW)
        return Failed(rc == SQLITE_DONE ? QStringLiteral("the stored row cannot be read back")
                                        : QString(),
                      error);
    const bool kept = row < rows.Count() ? rows.ReplaceFromStatement(row, statement.get())
                                         : rows.AppendFromStatement(statement.get());
    return kept || Failed(QString(), error);
}
