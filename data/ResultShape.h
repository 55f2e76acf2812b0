#pragma once

#include <QString>

#include <vector>

struct sqlite3_stmt;

// What a select statement's result is made of, as far as reading it by key and writing
// it back go: its columns' names, the table column each comes from, and the key column
// when every column comes from one table.
struct ResultShape {
    std::vector<QString> names;
    std::vector<QString> origins;
    // Empty, and no key column, unless every column comes from the same table.
    QString table;
    int keyColumn = -1;
    bool integerKey = false;

    // The shape of the result of a prepared statement.
    static ResultShape Of(sqlite3_stmt* statement);

    // Selects the result's columns of the one row whose key is bound to the parameter.
    QString RowByKeySql() const;
    // `sql` selecting only the key column, when it selects every column ("Select * From
    // ..."); an empty text, which fails to prepare, when it has another shape.
    QString KeysSql(const QString& sql) const;
};
