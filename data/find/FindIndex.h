#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

struct sqlite3;

// The find index and what a search asks of it. The index lives in a file of its own beside
// the catalogue, attached to the catalogue's connection as "find", so that the backups,
// which copy the catalogue's bytes, never carry it; on an encrypted catalogue the attached
// file takes the catalogue's key. The catalogue itself holds only FindState, which says
// which index matches it, and FindLog, the sites changed since the index last caught up,
// kept by triggers that any program writing the tables fires.
//
// The index holds one document per site: its searched texts run through the tokenizer of
// GramTokenizer.h, without positions. A document's row number is the site's number shifted
// left by kVersionBits plus a version, so that documents come in the order of the sites and
// a changed site gets a new document without the old text, which a contentless index
// needs to take one out; FindDoc names each site's current version, and older ones are
// left as dead rows until the next build.
namespace Find {

inline constexpr int kVersionBits = 24;

// The index file of the catalogue at `catalogue`.
QString IndexPath(const QString& catalogue);
// Removes the index of `catalogue` and its journal: for when the catalogue's key changes,
// since the index is enciphered with the catalogue's key (or is plain with it), and a
// plain index beside an encrypted catalogue would give its texts away. It is built again.
void RemoveIndex(const QString& catalogue);

// Makes a catalogue connection ready to find: the index's tokenizer, and the index attached
// when its file is there. With `create` a missing index file is made first, owner-only.
// Without it, an index that cannot be attached is simply not used.
bool Prepare(sqlite3* db, const QString& catalogue, bool create, QString* error);

// Whether the attached index is complete and matches the catalogue as it is now but for
// the sites in FindLog. For use inside a read transaction that began on the catalogue.
bool IndexUsable(sqlite3* db);

// The sites in FindLog above `after`, in order.
bool ChangedSites(sqlite3* db, qint64 after, QList<qint64>* sites, QString* error);

// Sites above `after`, in order, whose indexed texts may hold every word (a superset of
// the sites that do: longer words are asked for as their runs of three characters), at
// most `limit` of them. `*exhausted` tells whether the index has no more after them.
bool IndexCandidates(sqlite3* db, const QList<QByteArray>& words, qint64 after, int limit,
                     QList<qint64>* sites, bool* exhausted, QString* error);

// The FTS5 query that asks for every word.
QByteArray MatchExpression(const QList<QByteArray>& words);

} // namespace Find
