#pragma once

#include "RowStore.h"

#include <QString>

#include <unordered_map>
#include <vector>

class Connection;
struct sqlite3_stmt;

// The rows of a result that is read by key (see Query): the keys in the result's order,
// read when it opens, and each row's columns fetched from the file only when someone
// asks. Rows fetched for drawing are kept in a small cache that is emptied when full, so
// scrolling through any number of rows holds only a screenful or two; the current row is
// read afresh whenever it becomes current, kept apart while it stays current, and drawn
// as read then.
class QueryKeyset {
public:
    enum class Fetch { Read, Gone, Failed };

    QueryKeyset() = default;
    ~QueryKeyset();
    QueryKeyset(const QueryKeyset&) = delete;
    QueryKeyset& operator=(const QueryKeyset&) = delete;

    // Starts a new result: no keys, nothing cached. `rowSql` selects the result's
    // columns of the one row whose key is bound to its only parameter.
    void Reset(Connection* connection, const QString& rowSql, int columns);
    void Clear();

    std::vector<qint64>& Keys() { return keys_; }
    const std::vector<qint64>& Keys() const { return keys_; }

    // The values of the row with `key`, for drawing: a store and the row's place in it,
    // or null when the row is gone or could not be read. Never reports: a failure here
    // shows as an empty row until the row is fetched again.
    const RowStore* Cached(qint64 key, int* index);
    // Reads the row with `key` afresh as the current row; `error` says why it Failed.
    Fetch Pin(qint64 key, QString* error);
    // Whether `key` is the row Pin last read; `*store` is then its values, or null when
    // it could not be read.
    bool IsPinned(qint64 key, const RowStore** store) const;
    void Unpin() {
        pinned_.Clear();
        hasPin_ = false;
    }
    // Drops what is cached of `key`, after it was stored or deleted.
    void Forget(qint64 key);

private:
    Fetch Read(qint64 key, RowStore& into, QString* error);
    void MakeRoom();
    int Keep(const RowStore& store, int row);
    void Finalize();

    static constexpr int kCachedRows = 512;

    Connection* connection_ = nullptr;
    QString rowSql_;
    sqlite3_stmt* statement_ = nullptr;
    quint64 generation_ = 0;
    std::vector<qint64> keys_;
    RowStore cache_;
    // Place in cache_ of each fetched key; -1 for a row that could not be read.
    std::unordered_map<qint64, int> cached_;
    RowStore pinned_;
    bool hasPin_ = false;
    qint64 pinnedKey_ = 0;
};
