#pragma once

#include "CopyLock.h"

#include <QList>
#include <QString>

#include <optional>

class Connection;
struct sqlite3;

// Paragraphs written for a new site that is not stored yet wait with ContentWeb 0, and
// belong to the running copy whose editor wrote them: another copy on the same file must
// neither list, take nor delete them. A side table of the catalogue, created the first
// time a copy writes such a paragraph, names each one's copy, and a copy counts as
// running while it holds its CopyLock. A pending paragraph with no owner (written before
// the side table existed) or whose copy has ended was left behind by an ended run; a copy
// claims those before it uses them, so that two copies never both act on one.
class PendingParagraphs {
public:
    explicit PendingParagraphs(Connection& connection) : connection_(connection) {}

    // Clauses that narrow "Select * From Content Where ContentWeb = 0" to the paragraphs
    // of this copy; to those left behind by ended runs; to both.
    QString MineClause();
    QString LeftBehindClause();
    QString NotOthersClause();

    // These write, inside the caller's transaction, so that they reach the file together
    // with the paragraphs they describe.
    bool Own(qint64 contentIndex, QString* error);
    bool ClaimLeftBehind(QString* error);
    // Forgets the owners of paragraphs that are no longer pending. Only bookkeeping: a
    // row left over is never read, so a failure here is not the user's concern.
    void Tidy();

private:
    sqlite3* Handle();
    int Id();
    bool HasTable();
    bool CreateTable(QString* error);
    // The copies other than this one that own a pending paragraph and are running;
    // nothing when the side table cannot be read.
    std::optional<QList<int>> OthersRunning();

    Connection& connection_;
    CopyLock lock_;
};
