#include "Rekey.h"

#include "BackupCopy.h"
#include "Catalogue.h"
#include "CopyLock.h"
#include "Failure.h"
#include "FindIndex.h"
#include "Sqlite.h"

#include <QDir>
#include <QFileInfo>

#include <sqlite3.h>

#include <unistd.h>

namespace Rekey {
namespace {

// The copy, re-enciphered by `change` and checked; its change counter before that.
bool Transform(const QString& temp, const std::function<bool(sqlite3*, QString*)>& change,
               quint32* counter, QString* error) {
    Sqlite::Database db;
    return db.Open(temp, SQLITE_OPEN_READWRITE, error) == SQLITE_OK &&
           Backup::Copy::ChangeCounter(db.Get(), true, counter, error) && change(db.Get(), error) &&
           Backup::Copy::QuickCheck(db.Get(), nullptr, error);
}

// Moves `temp` over `path` while holding the catalogue's exclusive lock, unless it changed
// since `counter` or a copy of the program started meanwhile.
bool Publish(const QString& temp, const QString& path, const QString& copies, quint32 counter,
             QString* error) {
    Sqlite::Database guard;
    quint32 now = 0;
    if (guard.Open(path, SQLITE_OPEN_READWRITE, error, Sqlite::kBusyTimeoutMs) != SQLITE_OK ||
        !Sqlite::Exec(guard.Get(), "BEGIN EXCLUSIVE", error) ||
        !Backup::Copy::ChangeCounter(guard.Get(), false, &now, error))
        return false;
    if (now != counter)
        return Fail(error, QStringLiteral("%1 changed while it was being re-enciphered").arg(path));
    if (!copies.isEmpty() && CopyLock::AnyRunning(copies))
        return Fail(error, QStringLiteral("Sitemora was started on %1 meanwhile").arg(path));
    return Catalogue::PublishReplacing(temp, path, error);
}

bool InPlace(const QString& path, const QString& copies,
             const std::function<bool(sqlite3*, QString*)>& change, QString* error) {
    Backup::Copy::Taken taken;
    if (Backup::Copy::Take(path, path, {}, nullptr, &taken, error) != Backup::Copy::Outcome::Copied)
        return false;
    quint32 counter = 0;
    const bool ok = Transform(taken.temp, change, &counter, error) &&
                    Publish(taken.temp, path, copies, counter, error);
    if (ok)
        taken.temp.clear(); // it is the catalogue now
    Backup::Copy::Discard(&taken);
    return ok;
}

} // namespace

bool File(const QString& path, const QString& copies, Verb verb,
          const std::function<bool(Cipher::Secret*, QString*)>& newPassphrase, QString* error) {
    if (QString kind; !Catalogue::RegularOrMissing(path, &kind))
        return Fail(error, QStringLiteral("%1: %2").arg(path, kind));
    if (!QFileInfo::exists(path))
        return Fail(error, QStringLiteral("%1 does not exist").arg(path));
    if (CopyLock::AnyRunning(copies))
        return Fail(error, QStringLiteral("Sitemora is running on %1; close it first").arg(path));
    const bool encrypted = Cipher::ExamineFile(path) == Cipher::Kind::Encrypted;
    if (verb == Verb::Encrypt && encrypted)
        return Fail(error, QStringLiteral("%1 is encrypted already; to change its passphrase, "
                                          "use change")
                               .arg(path));
    if (verb != Verb::Encrypt && !encrypted)
        return Fail(error, QStringLiteral("%1 is not encrypted").arg(path));
    RemoveLeftovers(path);
    // Asked once the copy is open, so that the current passphrase comes first.
    const bool done = InPlace(
        path, copies,
        [&](sqlite3* db, QString* failure) {
            if (verb == Verb::Decrypt)
                return Cipher::Rekey(db, nullptr, failure);
            Cipher::Secret passphrase;
            return newPassphrase(&passphrase, failure) && Cipher::Rekey(db, &passphrase, failure);
        },
        error);
    if (done)
        Find::RemoveIndex(path);
    return done;
}

bool LikeCatalogue(const QString& path, const QString& model, QString* error) {
    return InPlace(
        path, QString(),
        [&](sqlite3* db, QString* failure) { return Cipher::RekeyLike(db, model, failure); },
        error);
}

void RemoveLeftovers(const QString& path) {
    const QFileInfo info(path);
    const QDir dir = info.absoluteDir();
    const QString stem = QLatin1Char('.') + info.fileName() + QLatin1Char('.');
    for (const QString& name : dir.entryList({stem + QStringLiteral("??????")},
                                             QDir::Files | QDir::Hidden | QDir::System)) {
        const QString temp = dir.filePath(name);
        Catalogue::RemoveIfAbandoned(temp);
        // The journal of a copy killed while it was re-enciphered goes with it.
        if (!QFileInfo::exists(temp))
            ::unlink(QFile::encodeName(temp + QStringLiteral("-journal")).constData());
    }
}

} // namespace Rekey
