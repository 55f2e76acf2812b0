#include "RowStore.h"

// Directly: a row is copied out of a statement column by column, in every SQLite type.
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {
constexpr std::size_t kChunkBytes = std::size_t(1) << 20;
}

void RowStore::Reset(int columns) {
    columns_ = columns;
    rows_.clear();
    chunks_.clear();
    free_ = nullptr;
    left_ = 0;
}

void RowStore::Clear() {
    rows_.clear();
    if (chunks_.empty())
        return;
    chunks_.resize(1);
    free_ = chunks_.front().get();
    left_ = firstChunkBytes_;
}

char* RowStore::Allocate(std::size_t bytes) {
    bytes = (bytes + 7) & ~std::size_t(7);
    if (bytes > left_) {
        std::size_t size = std::max(bytes, kChunkBytes);
        // Every byte is written before it is read: zero-filling a megabyte per chunk
        // only costs time.
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        if (chunks_.size() == 1)
            firstChunkBytes_ = size;
        free_ = chunks_.back().get();
        left_ = size;
    }
    char* block = free_;
    free_ += bytes;
    left_ -= bytes;
    return block;
}

const char* RowStore::Build(sqlite3_stmt* statement) {
    cells_.resize(columns_);
    sources_.resize(columns_);
    std::uint64_t offset = 0;
    qint64 integers[64];
    double reals[64];
    std::vector<qint64> moreIntegers;
    std::vector<double> moreReals;
    if (columns_ > 64) {
        moreIntegers.resize(columns_);
        moreReals.resize(columns_);
    }
    qint64* ints = columns_ > 64 ? moreIntegers.data() : integers;
    double* dbls = columns_ > 64 ? moreReals.data() : reals;
    for (int i = 0; i < columns_; ++i) {
        Cell& cell = cells_[i];
        cell.offset = static_cast<std::uint32_t>(offset);
        switch (sqlite3_column_type(statement, i)) {
        case SQLITE_INTEGER:
            cell.kind = Kind::Integer;
            ints[i] = sqlite3_column_int64(statement, i);
            sources_[i] = &ints[i];
            cell.size = sizeof(qint64);
            break;
        case SQLITE_FLOAT:
            cell.kind = Kind::Real;
            dbls[i] = sqlite3_column_double(statement, i);
            sources_[i] = &dbls[i];
            cell.size = sizeof(double);
            break;
        case SQLITE_TEXT:
            cell.kind = Kind::Text;
            sources_[i] = sqlite3_column_text(statement, i);
            cell.size = static_cast<std::uint32_t>(sqlite3_column_bytes(statement, i));
            // Text always comes as a pointer, even when empty; none means no memory.
            if (!sources_[i])
                return nullptr;
            break;
        case SQLITE_BLOB:
            cell.kind = Kind::Blob;
            sources_[i] = sqlite3_column_blob(statement, i);
            cell.size = static_cast<std::uint32_t>(sqlite3_column_bytes(statement, i));
            if (!sources_[i] && cell.size > 0)
                return nullptr;
            break;
        default:
            cell.kind = Kind::Null;
            sources_[i] = nullptr;
            cell.size = 0;
        }
        offset += cell.size;
        // A cell's place is kept in 32 bits: a row of 4 GiB or more, which only a file
        // another program wrote can hold, is refused rather than wrapped.
        if (offset > std::numeric_limits<std::uint32_t>::max())
            return nullptr;
    }
    const std::size_t header = sizeof(Cell) * columns_;
    char* block = Allocate(header + offset);
    std::memcpy(block, cells_.data(), header);
    for (int i = 0; i < columns_; ++i)
        if (cells_[i].size)
            std::memcpy(block + header + cells_[i].offset, sources_[i], cells_[i].size);
    return block;
}

bool RowStore::AppendFromStatement(sqlite3_stmt* statement) {
    const char* block = Build(statement);
    if (block)
        rows_.push_back(block);
    return block != nullptr;
}

// The old block stays in its chunk until the store is reset: edits are rare, and the
// space comes back when the result is closed.
bool RowStore::ReplaceFromStatement(int row, sqlite3_stmt* statement) {
    const char* block = Build(statement);
    if (block)
        rows_[row] = block;
    return block != nullptr;
}

void RowStore::Remove(int row) {
    rows_.erase(rows_.begin() + row);
}

void RowStore::AppendCopy(const RowStore& other, int row) {
    const char* source = other.rows_[row];
    std::size_t payload = 0;
    for (int column = 0; column < other.columns_; ++column) {
        Cell cell;
        std::memcpy(&cell, source + sizeof(Cell) * column, sizeof(Cell));
        payload = std::max<std::size_t>(payload, std::size_t(cell.offset) + cell.size);
    }
    const std::size_t bytes = sizeof(Cell) * other.columns_ + payload;
    char* block = Allocate(bytes);
    std::memcpy(block, source, bytes);
    rows_.push_back(block);
}

RowStore::Cell RowStore::CellAt(int row, int column, const char** payload) const {
    const char* block = rows_[row];
    Cell cell;
    std::memcpy(&cell, block + sizeof(Cell) * column, sizeof(Cell));
    *payload = block + sizeof(Cell) * columns_ + cell.offset;
    return cell;
}

RowStore::Kind RowStore::KindAt(int row, int column) const {
    const char* payload;
    return CellAt(row, column, &payload).kind;
}

qint64 RowStore::IntegerAt(int row, int column) const {
    const char* payload;
    Cell cell = CellAt(row, column, &payload);
    switch (cell.kind) {
    case Kind::Integer: {
        qint64 value;
        std::memcpy(&value, payload, sizeof value);
        return value;
    }
    case Kind::Real: {
        double value;
        std::memcpy(&value, payload, sizeof value);
        // Converting a double outside the 64-bit range is undefined; a file written by
        // another tool may hold one, so saturate the way SQLite's own CAST does.
        if (std::isnan(value))
            return 0;
        if (value >= 9223372036854775808.0)
            return std::numeric_limits<qint64>::max();
        if (value < -9223372036854775808.0)
            return std::numeric_limits<qint64>::min();
        return static_cast<qint64>(value);
    }
    case Kind::Text:
        return QByteArray(payload, cell.size).trimmed().toLongLong();
    default:
        return 0;
    }
}

QString RowStore::TextAt(int row, int column) const {
    const char* payload;
    Cell cell = CellAt(row, column, &payload);
    switch (cell.kind) {
    case Kind::Text:
    case Kind::Blob:
        return QString::fromUtf8(payload, cell.size);
    case Kind::Integer:
        return QString::number(IntegerAt(row, column));
    case Kind::Real: {
        double value;
        std::memcpy(&value, payload, sizeof value);
        return QString::number(value, 'g', 15);
    }
    default:
        return QString();
    }
}

QVariant RowStore::ValueAt(int row, int column) const {
    const char* payload;
    Cell cell = CellAt(row, column, &payload);
    switch (cell.kind) {
    case Kind::Integer:
        return IntegerAt(row, column);
    case Kind::Real: {
        double value;
        std::memcpy(&value, payload, sizeof value);
        return value;
    }
    case Kind::Text:
        return QString::fromUtf8(payload, cell.size);
    case Kind::Blob:
        return QByteArray(payload, cell.size);
    default:
        return QVariant();
    }
}
