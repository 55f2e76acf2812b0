#pragma once

#include <QString>
#include <QVariant>

#include <cstdint>
#include <memory>
#include <vector>

struct sqlite3_stmt;

// The rows of a snapshot, packed: each row is one block of cell descriptors followed by
// its bytes, kept in large chunks. Text stays UTF-8 until somebody reads it, so a
// hundred thousand rows cost little more than their bytes and are copied only once.
class RowStore {
public:
    enum class Kind : std::uint8_t { Null, Integer, Real, Text, Blob };

    void Reset(int columns);
    // Drops every row but keeps the first chunk for the next ones: for a store that is
    // emptied and filled again often.
    void Clear();
    int Columns() const { return columns_; }
    int Count() const { return static_cast<int>(rows_.size()); }

    // Copy the statement's current row; false when SQLite could not hand over a value
    // (out of memory) or the row is too large to keep (4 GiB or more), and then the
    // store is unchanged.
    bool AppendFromStatement(sqlite3_stmt* statement);
    bool ReplaceFromStatement(int row, sqlite3_stmt* statement);
    void Remove(int row);
    // Copies one row of another store to the end of this one.
    void AppendCopy(const RowStore& other, int row);

    Kind KindAt(int row, int column) const;
    qint64 IntegerAt(int row, int column) const;
    QString TextAt(int row, int column) const;
    QVariant ValueAt(int row, int column) const;

private:
    struct Cell {
        std::uint32_t offset;
        std::uint32_t size;
        Kind kind;
    };
    const char* Build(sqlite3_stmt* statement);
    char* Allocate(std::size_t bytes);
    Cell CellAt(int row, int column, const char** payload) const;

    int columns_ = 0;
    std::vector<const char*> rows_;
    std::vector<std::unique_ptr<char[]>> chunks_;
    std::size_t firstChunkBytes_ = 0;
    char* free_ = nullptr;
    std::size_t left_ = 0;
    // Scratch space for one row while it is measured.
    std::vector<Cell> cells_;
    std::vector<const void*> sources_;
};
