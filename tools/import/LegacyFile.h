#pragma once

#include "JetFormat.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// Read-only access to a catalogue kept in the older Jet 3 / Jet 4 database format.
// libmdb walks the pages; the values themselves are decoded here, because its own
// decoding truncates memos, folds missing values into empty text and mangles
// characters outside the basic plane.
namespace Legacy {

enum class Kind { Integer, Text };

struct ColumnWanted {
    QString name;
    Kind kind;
};

struct Value {
    bool null = true;
    std::int64_t integer = 0;
    QByteArray text; // UTF-8
};

// Called once per live row with its number among the table's live rows (from 1) and one
// value per wanted column, in the order asked for. Returning false stops the read; the
// sink then owns the error text.
using RowSink =
    std::function<bool(std::int64_t number, const std::vector<Value>& row, QString* error)>;
// Rows read so far and the count the table header promises.
using Progress = std::function<void(std::int64_t done, std::int64_t total)>;

// A row's place in words for messages, "row 4 of the Content table (ContentIndex 11)",
// so that the user can find it in the old program.
QString RowPlace(const QString& table, std::int64_t number, const QString& keyColumn,
                 const Value& key);

class File {
public:
    File();
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool Open(const QString& path, QString* error);

    // Reads every live row of `table`. Fails, naming what is wrong and where, when the
    // table or one of the columns is missing, a column has an unexpected type, the
    // table's definition contradicts itself, a row contradicts the definition or its own
    // null mask, a value cannot be read whole, or fewer or more rows come back than the
    // table header counts.
    bool ReadTable(const QString& table, const std::vector<ColumnWanted>& columns,
                   const RowSink& sink, const Progress& progress, QString* error);

    // The last key the table's counter handed out, as recorded in its header (0 when
    // unknown). Keys of deleted rows may lie above every live key.
    std::int64_t LastAutoNumber(const QString& table);

private:
    struct Handle; // libmdb's handle type is an anonymous struct
    std::unique_ptr<Handle> handle_;
};

} // namespace Legacy
