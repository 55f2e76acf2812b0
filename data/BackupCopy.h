#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>

struct sqlite3;

// Taking a copy of the catalogue. Nothing here opens the catalogue, its journal or its
// log beside SQLite: in a process that has a connection on the file, closing any other
// descriptor of it drops every lock SQLite holds there.
namespace Backup::Copy {

// Reads `count` bytes at `offset` of the main file of `db` through SQLite's own file.
// The caller holds at least SQLite's read lock, so the bytes are what is committed.
bool ReadFile(sqlite3* db, void* bytes, int count, qint64 offset, QString* error);

// The header's change counter, which every committed transaction moves on in the
// rollback-journal mode catalogues use. With `takeLock`, a read lock is taken for the
// moment it reads; without, the caller holds one.
bool ChangeCounter(sqlite3* db, bool takeLock, quint32* counter, QString* error);

struct Taken {
    QString temp; // the copy, beside `target`; still locked against RemoveLeftovers
    QByteArray fingerprint;
    int fd = -1;
};

enum class Outcome { Copied, Unchanged, Failed };

// Copies the catalogue's bytes into a new file beside `target` while SQLite's read lock
// holds every writer off, which keeps the lock for about a second per gigabyte. Should a
// writer wait longer than another copy of the program could bear, the copy gives way and
// begins again. `unchanged`, when given, is asked with the catalogue's fingerprint
// before anything is copied. On Copied the caller owns `taken` (see Discard).
Outcome Take(const QString& catalogue, const QString& target,
             const std::function<bool(const QByteArray&)>& unchanged,
             const std::atomic<bool>* cancel, Taken* taken, QString* error);
// Closes the copy's file, and removes it unless it was published.
void Discard(Taken* taken);
// Moves the finished copy `taken` over `target` in one step while holding the target's
// exclusive lock, unless the target changed since its change counter read `counter` or a
// copy of the program (marked in `copies`, when given) started meanwhile. The target's find
// index goes with the file it was made of. The caller still Discards `taken`.
bool PublishOver(Taken* taken, const QString& target, const QString& copies, quint32 counter,
                 QString* error);

// SQLite's quick check of a finished copy; false with the verdict in `*error`.
bool Check(const QString& path, const std::atomic<bool>* cancel, QString* error);
bool QuickCheck(sqlite3* db, const std::atomic<bool>* cancel, QString* error);

// Copies the database `source` into the empty file `destPath` with SQLite's online backup,
// `pagesPerStep` pages at a time (-1: all at once).
bool CopyInSteps(sqlite3* source, const QString& destPath, int pagesPerStep,
                 const std::atomic<bool>* cancel, QString* error);

} // namespace Backup::Copy
