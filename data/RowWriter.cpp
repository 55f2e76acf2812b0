#include "RowWriter.h"

#include "QuerySql.h"
#include "RowStore.h"
#include "Sqlite.h"

#include <QStringList>

using QuerySql::Quoted;
using Sqlite::Statement;

bool RowWriter::Failed(const QString& failure, QString* error) const {
    if (error)
        *error = failure.isEmpty() ? Sqlite::LastError(db_) : failure;
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
    bool ok = statement.IsValid();
    for (std::size_t i = 0; ok && i < values.size(); ++i)
        ok = statement.Bind(static_cast<int>(i) + 1, values[i].value);
    ok = ok && statement.BindInteger(static_cast<int>(values.size()) + 1, key);
    bool found = false;
    *storedKey = key;
    if (ok && statement.Next()) {
        found = true;
        *storedKey = statement.Integer(0);
        ok = !statement.Next(); // one key, one row
    }
    ok = ok && !statement.Failed();
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
    bool ok = statement.IsValid();
    for (std::size_t i = 0; ok && i < values.size(); ++i)
        ok = statement.Bind(static_cast<int>(i) + 1, values[i].value);
    if (!ok || !statement.Run())
        return Failed(failure, error);
    *key = Sqlite::LastInsertKey(db_);
    return true;
}

bool RowWriter::Delete(qint64 key, QString* error) {
    QString failure;
    Statement statement(db_,
                        QStringLiteral("DELETE FROM %1 WHERE %2 = ?")
                            .arg(Quoted(shape_.table), Quoted(shape_.origins[shape_.keyColumn])),
                        &failure);
    const bool ok = statement.IsValid() && statement.BindInteger(1, key) && statement.Run();
    return ok || Failed(failure, error);
}

bool RowWriter::ReadBack(qint64 key, RowStore& rows, int row, QString* error) {
    QString failure;
    Statement statement(db_, shape_.RowByKeySql(), &failure);
    if (!statement.IsValid()) {
        if (error)
            *error = failure;
        return false;
    }
    if (!statement.BindInteger(1, key) || !statement.Next())
        return Failed(statement.Failed() ? QString()
                                         : QStringLiteral("the stored row cannot be read back"),
                      error);
    const bool kept = row < rows.Count() ? rows.ReplaceFromStatement(row, statement.Get())
                                         : rows.AppendFromStatement(statement.Get());
    return kept || Failed(QString(), error);
}
