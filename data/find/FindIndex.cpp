#include "FindIndex.h"

#include "GramTokenizer.h"
#include "Sqlite.h"

#include <QFile>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace Find {

namespace {

bool Fail(sqlite3* db, QString* error) {
    if (error)
        *error = Sqlite::LastError(db);
    return false;
}

// The characters of a UTF-8 word, each as its bytes.
QList<QByteArray> Characters(const QByteArray& word) {
    QList<QByteArray> characters;
    for (qsizetype at = 0; at < word.size();) {
        qsizetype next = at + 1;
        while (next < word.size() && (static_cast<unsigned char>(word[next]) & 0xC0) == 0x80)
            ++next;
        characters << word.mid(at, next - at);
        at = next;
    }
    return characters;
}

QByteArray Quoted(QByteArray term) {
    return '"' + term.replace('"', "\"\"") + '"';
}

bool IsAttached(sqlite3* db) {
    Sqlite::Statement names(db, "SELECT 1 FROM pragma_database_list WHERE name = 'find'");
    return names.Next();
}

} // namespace

QString IndexPath(const QString& catalogue) {
    return catalogue + QStringLiteral(".find");
}

bool Prepare(sqlite3* db, const QString& catalogue, bool create, QString* error) {
    if (RegisterGramTokenizer(db) != SQLITE_OK)
        return Fail(db, error);
    // A find reads a site's paragraphs from all over the file on a connection whose cache
    // starts empty: mapped, those pages come straight from the system's cache. (SQLite maps
    // nothing of an encrypted file.)
    Sqlite::Exec(db, "PRAGMA mmap_size = 268435456", nullptr);
    if (IsAttached(db))
        return true;
    const QString path = IndexPath(catalogue);
    if (create) {
        // The index holds the catalogue's texts: as private as the catalogue. An existing
        // file is left as it is.
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0)
            ::close(fd);
    } else if (!QFile::exists(path)) {
        return true;
    }
    Sqlite::Statement attach(db, "ATTACH DATABASE ? AS find");
    attach.BindText(1, path.toUtf8());
    // The index can always be built again, and a damaged one is found and built again at
    // the next start: it is not worth a wait for the disk at every step.
    if (attach.Run() &&
        (!create || (IsAttached(db) && Sqlite::Exec(db, "PRAGMA find.synchronous = OFF", nullptr))))
        return true;
    QString why = Sqlite::LastError(db);
    if (IsAttached(db))
        Sqlite::Exec(db, "DETACH DATABASE find", nullptr);
    if (error)
        *error = why;
    // A reader goes on without the index: it scans.
    return !create;
}

bool IndexUsable(sqlite3* db) {
    // The catalogue is read first, in the order a writer of both commits in, so that a
    // build step committing meanwhile waits for this reader instead of the other way round.
    Sqlite::Statement state(db, "SELECT s.Token = m.Token AND s.Generation = m.Generation"
                                " AND m.Complete FROM main.FindState AS s, find.FindMeta AS m");
    return state.IsValid() && state.Next() && state.Integer(0) == 1;
}

bool ChangedSites(sqlite3* db, qint64 after, QList<qint64>* sites, QString* error) {
    Sqlite::Statement changed(db, "SELECT Site FROM main.FindLog WHERE Site > ? ORDER BY Site");
    changed.BindInteger(1, after);
    while (changed.Next())
        sites->append(changed.Integer(0));
    return changed.IsValid() && !changed.Failed() ? true : Fail(db, error);
}

QByteArray MatchExpression(const QList<QByteArray>& words) {
    QList<QByteArray> terms;
    for (const QByteArray& word : words) {
        const QList<QByteArray> characters = Characters(word);
        if (characters.size() <= 3) {
            terms << Quoted(word);
            continue;
        }
        // Every run of three: the more of them, the fewer lists FTS5 has to read through,
        // since it skips along the rarest.
        for (qsizetype i = 0; i + 3 <= characters.size(); ++i) {
            const QByteArray term = Quoted(characters[i] + characters[i + 1] + characters[i + 2]);
            if (!terms.contains(term))
                terms << term;
        }
    }
    return terms.join(" AND ");
}

bool IndexCandidates(sqlite3* db, const QList<QByteArray>& words, qint64 after, int limit,
                     QList<qint64>* sites, bool* exhausted, QString* error) {
    Sqlite::Statement hits(db, "SELECT FindGrams.rowid >> 24 FROM find.FindGrams"
                               " JOIN find.FindDoc ON Site = FindGrams.rowid >> 24"
                               " AND Version = (FindGrams.rowid & 16777215)"
                               " WHERE FindGrams MATCH ?1 AND FindGrams.rowid >= (?2 + 1) << 24"
                               " ORDER BY FindGrams.rowid LIMIT ?3");
    static_assert(kVersionBits == 24, "the statement above shifts by 24");
    hits.BindText(1, MatchExpression(words));
    hits.BindInteger(2, qMax<qint64>(after, 0));
    hits.BindInteger(3, limit);
    int count = 0;
    while (hits.Next()) {
        sites->append(hits.Integer(0));
        ++count;
    }
    *exhausted = count < limit;
    return hits.IsValid() && !hits.Failed() ? true : Fail(db, error);
}

void RemoveIndex(const QString& catalogue) {
    const QString index = IndexPath(catalogue);
    QFile::remove(index + QStringLiteral("-journal"));
    QFile::remove(index);
}

} // namespace Find
