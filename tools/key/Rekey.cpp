#include "Rekey.h"

#include "BackupCopy.h"
#include "Catalogue.h"
#include "CopyLock.h"
#include "Failure.h"
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

bool InPlace(const QString& path, const QString& copies,
             const std::function<bool(sqlite3*, QString*)>& change, QString* error) {
    Backup::Copy::Taken taken;
    if (Backup::Copy::Take(path, path, {}, nullptr, &taken, error) != Backup::Copy::Outcome::Copied)
        return false;
    quint32 counter = 0;
    const bool ok = Transform(taken.temp, change, &counter, error) &&
                    Backup::Copy::PublishOver(&taken, path, copies, counter, error);
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
    return InPlace(
        path, copies,
        [&](sqlite3* db, QString* failure) {
            if (verb == Verb::Decrypt)
                return Cipher::Rekey(db, nullptr, failure);
            Cipher::Secret passphrase;
            return newPassphrase(&passphrase, failure) && Cipher::Rekey(db, &passphrase, failure);
        },
        error);
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
    const auto named = [&](const QString& pattern) {
        return dir.entryList({stem + pattern}, QDir::Files | QDir::Hidden | QDir::System);
    };
    for (const QString& name : named(QStringLiteral("??????")))
        Catalogue::RemoveIfAbandoned(dir.filePath(name));
    // The journal of a copy killed while it was re-enciphered goes with it, also when a run
    // killed here took the copy and not yet its journal.
    const QString journal = QStringLiteral("-journal");
    for (const QString& name : named(QStringLiteral("??????") + journal)) {
        const QString copy = dir.filePath(name.chopped(journal.size()));
        if (!QFileInfo::exists(copy))
            ::unlink(QFile::encodeName(dir.filePath(name)).constData());
    }
}

} // namespace Rekey
