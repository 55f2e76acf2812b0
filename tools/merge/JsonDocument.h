#pragma once

#include "JsonReader.h"
#include "Sqlite.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QString>

#include <utility>

// What a JSON export holds and what each part of it may be, for the merge: the whole
// document is checked against it before the catalogue is locked, so a file the catalogue
// could not live with is refused before anything is written.
namespace Merge::Json {

// Where the members of the document start; -1 when it lacks one.
struct Members {
    qsizetype format = -1;
    qsizetype version = -1;
    qsizetype counters = -1;
    qsizetype web = -1;
    qsizetype content = -1;
    QByteArray unknown;
};

// One object of the Web or Content list. Integer columns come first.
struct Row {
    QList<QByteArray> texts;
    qint64 integers[2] = {0, 0};
    bool integerNull[2] = {true, true};
};

// A whole-number column: the lowest value it takes (the highest is the catalogue's
// 2147483647), and whether it may have no value.
struct Whole {
    qint64 lowest = 0;
    bool nullable = false;
};

class Table {
public:
    // The whole-number columns come first.
    Table(const char* name, QByteArrayList columns, QList<Whole> wholes)
        : name_(name), columns_(std::move(columns)), wholes_(std::move(wholes)) {}

    QString Name() const { return QLatin1String(name_); }
    QByteArray InsertSql() const;

    // Reads the object at the reader, the `index`th of its list (from 1; 0 for an object
    // that is not in a list). Every column must be there, with a value of its kind that
    // the catalogue's column holds. A failure says which entry and which member.
    bool Read(JsonReader& reader, qint64 index, Row* row) const;

    // Binds every column; the key is left without a value when the database is to
    // choose it. Stops at a value SQLite will not take, whose reason SQLite then holds.
    bool Bind(Sqlite::Statement& insert, const Row& row, bool keepKey) const;

private:
    bool ReadColumn(JsonReader& reader, int column, Row* row) const;

    const char* name_;
    QByteArrayList columns_;
    QList<Whole> wholes_;
};

Table WebTable();
Table ContentTable();
// The counters object, read as a row of two whole numbers.
Table CounterTable();

// Calls `handle(row, offset)` with each object of the list at `offset` and where it begins.
template <typename Handler>
bool ForEachRow(JsonReader& reader, qsizetype offset, const Table& table, Handler handle) {
    reader.Seek(offset);
    bool first = true;
    Row row;
    qint64 index = 0;
    if (!reader.BeginArray())
        return false;
    while (reader.NextElement(&first)) {
        const qsizetype at = reader.Offset();
        if (!table.Read(reader, ++index, &row) || !handle(row, at))
            return false;
    }
    return !reader.Failed();
}

// Checks the whole document: that it is JSON, an export this reader understands, and
// that every value in it is one the catalogue takes.
bool Check(JsonReader& reader, Members* members, QString* error);

} // namespace Merge::Json
