#pragma once

#include "ResultShape.h"

#include <QString>
#include <QVariant>

#include <vector>

class RowStore;
struct sqlite3;

// Writes the rows of a result back to the one table its columns come from, by the key
// column: each write is a single statement, inside the caller's transaction if there is
// one. Columns are those of the result, by their place in it.
class RowWriter {
public:
    struct Value {
        int column;
        QVariant value;
    };

    RowWriter(sqlite3* db, const ResultShape& shape) : db_(db), shape_(shape) {}

    // Sets `values` in the row stored under `key`; `*storedKey` is its key afterwards,
    // which differs from `key` when the key column itself was set. Fails when no row has
    // that key any more.
    bool Update(qint64 key, const std::vector<Value>& values, qint64* storedKey, QString* error);
    // Adds a row holding `values` and the table's defaults elsewhere.
    bool Insert(const std::vector<Value>& values, qint64* key, QString* error);
    // Deletes the row stored under `key`; a row that is already gone is not an error.
    bool Delete(qint64 key, QString* error);
    // Reads the row stored under `key` into place `row` of `rows`, or adds it after the
    // last one, so the result holds exactly what the file holds (defaults, the assigned
    // key, the column types the table gave the values).
    bool ReadBack(qint64 key, RowStore& rows, int row, QString* error);

private:
    bool Failed(const QString& failure, QString* error) const;

    sqlite3* db_;
    const ResultShape& shape_;
};
