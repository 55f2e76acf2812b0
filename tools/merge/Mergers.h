#pragma once

#include <QByteArrayView>
#include <QString>

class Connection;

// The two kinds of file a merge reads. Each checks its whole input before it takes the
// catalogue's write lock, and writes in one transaction taken as the program takes its
// own (BEGIN IMMEDIATE, waiting for another running copy), so a failure anywhere leaves
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

bool MergeJson(Connection& connection, QByteArrayView text, Summary* summary, QString* error);
bool MergeBookmarks(Connection& connection, QByteArrayView text, Summary* summary, QString* error);

} // namespace Merge
