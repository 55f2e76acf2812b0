#pragma once

#include "Cipher.h"
#include "Sqlite.h"

#include <QString>
#include <QStringList>

#include <functional>

struct sqlite3;

// The catalogue file: its tables, and how a new one comes to exist without ever
// clobbering a file that is already there.
namespace Catalogue {

inline constexpr const char* kFileName = "Sitemora.mdb";

// The text columns of Web, in table order (WebIndex precedes them).
const QStringList& WebTextColumns();

// Creates the two tables and the paragraph index on an empty database.
bool ApplySchema(sqlite3* db, QString* error);

// Whether `db` holds the two tables with every column the program reads and writes. A
// file that lacks one is not a catalogue, whatever else it holds, and must not be written.
bool CheckSchema(sqlite3* db, QString* error);

enum class Access { ReadOnly, ReadWrite };

// Refuses anything at `path` but a regular file (a symbolic link to one counts as that
// file) with "not a catalogue file": a FIFO blocks the first read for ever and a device
// never ends. A missing file passes, for the caller to tell apart. Nothing is opened.
bool RegularOrMissing(const QString& path, QString* error);

// Opens an existing catalogue file (never creating one), waits Sqlite::kBusyTimeoutMs for locks,
// and checks its tables. Read-only, a file whose last writer was stopped halfway is
// first put back as it was before that change, as any writer would do. `setUp`, when given,
// prepares the fresh handle before the tables are read (its own busy handling, functions) and
// returns an SQLite result code. The handle is for use from one thread only. On failure `*db` is
// closed and `*error` says why.
bool OpenExisting(const QString& path, Access access, Sqlite::Database* db, QString* error,
                  const std::function<int(sqlite3*)>& setUp = {});

// Makes an empty, owner-only file next to `target` and returns its path; the caller
// fills it and hands it to PublishNoClobber, or removes it.
bool CreateTempBeside(const QString& target, QString* tempPath, QString* error);
// The same, returning a descriptor of the file that holds its lock, so that
// RemoveIfAbandoned leaves it alone while it is written; -1 on failure.
int CreateLockedTempBeside(const QString& target, QString* tempPath, QString* error);

// Removes the temporary file `path` that a writer killed halfway left behind: only a
// regular file that no running writer holds its lock on. Never follows a link or waits
// on a FIFO.
void RemoveIfAbandoned(const QString& path);

// Moves a finished temporary file to `target`, failing if `target` exists. The check
// and the move are one step, so a file created meanwhile is never overwritten.
bool PublishNoClobber(const QString& tempPath, const QString& target, QString* error);

// Moves a finished temporary file to `target`, replacing whatever file is there in one
// step: readers see the old file or the new one, never a mix. For when the user asked.
bool PublishReplacing(const QString& tempPath, const QString& target, QString* error);

// Writes an empty catalogue at `target`, which must not exist yet; encrypted under
// `passphrase` when one is given.
bool CreateEmpty(const QString& target, QString* error, const Cipher::Secret* passphrase = nullptr);

} // namespace Catalogue
