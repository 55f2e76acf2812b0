#pragma once

#include <QByteArrayView>
#include <QString>

struct sqlite3;

// The two kinds of file a merge reads. Each checks its whole input before it takes the
// catalogue's write lock, and writes inside a Transaction, so a failure anywhere leaves
// the catalogue as it was.
namespace Merge {

struct Summary {
    // JSON into an empty catalogue: the keys and counters came over as they were.
    bool restored = false;
    qint64 sites = 0;
    qint64 paragraphs = 0;
    // JSON appended: paragraphs of no site in the file (ContentWeb 0 or a missing site).
    qint64 homeless = 0;
    // Bookmarks: addresses a browser does not open as pages, and addresses the catalogue
    // already holds.
    qint64 notPages = 0;
    qint64 known = 0;
};

bool MergeJson(sqlite3* db, QByteArrayView text, Summary* summary, QString* error);
bool MergeBookmarks(sqlite3* db, QByteArrayView text, Summary* summary, QString* error);

// The write transaction of a merge: taken with BEGIN IMMEDIATE, so the wait for another
// running copy happens before anything is written, and rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    bool Begin(QString* error);
    bool Commit(QString* error);

private:
    sqlite3* db_;
    bool open_ = false;
};

} // namespace Merge
