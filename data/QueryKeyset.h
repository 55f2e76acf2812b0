#pragma once

#include "RowStore.h"
#include "Sqlite.h"

#include <QString>

#include <optional>
#include <unordered_map>
#include <vector>

class Connection;

// The rows of a result that is read by key (see Query): the keys in the result's order,
// read when it opens, and each row's columns fetched from the file only when someone
// asks. Rows fetched for drawing are kept in a small cache that is emptied when full, so
// scrolling through any number of rows holds only a screenful or two; the current row is
// read afresh whenever it becomes current, kept apart while it stays current.
//
// Drawing never waits for a lock: a row another program keeps from being read is drawn
// as it was read before, or as unreadable, and read again after the next Outdated. Once
// another connection has committed, every kept row counts as outdated and is read again
// when it is next drawn.
class QueryKeyset {
public:
    enum class Fetch { Read, Gone, Failed };

    // A row as drawing finds it: its values (a store and the row's place in it), or none
    // when it is gone; `unreadable` when it could not be read and nothing read before
    // stands in for it.
    struct Drawn {
        const RowStore* store = nullptr;
        int index = -1;
        bool unreadable = false;
    };

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

    // The row with `key`, for drawing. Never waits and never reports.
    Drawn Draw(qint64 key);
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

    // Whether the drawn rows may no longer be what the file holds: another connection
    // has committed since the last look (SQLite's data version, which costs no read of
    // any table), or a row could not be read for a lock. The rows are then read again
    // as they are drawn. Never waits: a locked file is looked at again next time.
    bool Outdated();

private:
    enum class Outcome { Read, Gone, Busy, Failed };
    struct Entry {
        int index = -1; // place in cache_; -1 for no values
        quint64 epoch = 0;
        bool unreadable = false;
    };

    Outcome Read(qint64 key, RowStore& into, QString* error);
    bool Prepare(std::optional<Sqlite::Statement>* statement, const QByteArray& sql);
    bool ReadVersion(qint64* version);
    void MakeRoom();
    int Keep(const RowStore& store, int row);
    void Finalize();

    static constexpr int kCachedRows = 512;

    Connection* connection_ = nullptr;
    QString rowSql_;
    std::optional<Sqlite::Statement> statement_;
    std::optional<Sqlite::Statement> versionStatement_;
    quint64 generation_ = 0;
    std::vector<qint64> keys_;
    RowStore cache_;
    std::unordered_map<qint64, Entry> cached_;
    // Rows kept from an earlier epoch are read again when drawn.
    quint64 epoch_ = 1;
    bool retry_ = false;
    // The data version last seen, and on which opening of the connection.
    qint64 version_ = -1;
    quint64 versionGeneration_ = 0;
    RowStore pinned_;
    bool hasPin_ = false;
    qint64 pinnedKey_ = 0;
};
