#include "Backup.h"

#include "BackupCopy.h"
#include "BackupErrors.h"
#include "BackupFolder.h"
#include "Catalogue.h"
#include "CopyLock.h"
#include "Sqlite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>

namespace Backup {

namespace {

// Calls a function exactly once: when asked, or else on leaving the scope.
class Once {
public:
    explicit Once(std::function<void()> fn) : fn_(std::move(fn)) {}
    ~Once() { (*this)(); }
    Once(const Once&) = delete;
    Once& operator=(const Once&) = delete;
    void operator()() {
        if (fn_)
            std::exchange(fn_, nullptr)();
    }

private:
    std::function<void()> fn_;
};

// Copies the catalogue, then publishes the copy as the newest backup. The folder is
// locked only to publish, so a backup another running copy is checking never delays
// this one's copy. A restore, which holds the folder throughout, keeps whatever the
// catalogue holds unchecked, damaged or not: the user may want it back.
Result CopyAndPublish(const QString& catalogue, const Options& options, bool folderLocked,
                      Once& released, QString* name, QString* error) {
    const QString folder = FolderOf(catalogue);
    QString failure;
    const auto failed = [&] {
        Fail(error, QStringLiteral("cannot back up %1 in %2: %3").arg(catalogue, folder, failure));
        return Result::Failed;
    };
    std::function<bool(const QByteArray&)> unchanged;
    if (options.onlyIfChanged)
        unchanged = [&](const QByteArray& print) { return Folder::NewestHolds(catalogue, print); };
    Copy::Taken taken;
    const Copy::Outcome outcome =
        Copy::Take(catalogue, QDir(folder).filePath(Folder::NextName(List(catalogue))), unchanged,
                   options.cancel, &taken, &failure);
    released();
    if (outcome == Copy::Outcome::Unchanged)
        return Result::Unchanged;
    if (outcome == Copy::Outcome::Failed)
        return failed();
    Once discard([&taken] { Copy::Discard(&taken); });
    // A damaged catalogue is refused, so that copies of it never push the sound backups out.
    if (!folderLocked && !Copy::Check(taken.temp, options.cancel, &failure)) {
        if (!options.cancel || !options.cancel->load())
            failure = QStringLiteral("it is damaged (%1)").arg(failure);
        return failed();
    }
    Folder::Lock lock;
    if (!folderLocked && !lock.Acquire(folder, options.folderWaitMs, options.cancel, &failure))
        return failed();
    // Another running copy may have published the same catalogue meanwhile.
    if (options.onlyIfChanged && Folder::NewestHolds(catalogue, taken.fingerprint))
        return Result::Unchanged;
    Folder::RemoveLeftovers(folder);
    const QString newName = Folder::NextName(List(catalogue));
    if (!Catalogue::PublishNoClobber(taken.temp, QDir(folder).filePath(newName), &failure))
        return failed();
    taken.temp.clear();
    Folder::WriteState(folder, {newName, taken.fingerprint});
    Folder::Prune(catalogue, options.keep);
    if (name)
        *name = newName;
    return Result::Written;
}

enum class Health { Sound, Damaged, Unusable };

// Whether the catalogue can be written through SQLite (Sound), is beyond it (Damaged: not
// a database any more, or corrupt), or must be left alone (Unusable: locked, or some
// other database that is not a catalogue).
Health Examine(const QString& catalogue, QString* error) {
    Sqlite::Database handle;
    QString openError;
    int rc = handle.Open(catalogue, SQLITE_OPEN_READWRITE, &openError, Sqlite::kBusyTimeoutMs);
    sqlite3* db = handle.Get();
    if (rc == SQLITE_OK && !Sqlite::Exec(db, "SELECT count(*) FROM sqlite_schema", nullptr))
        rc = Sqlite::LastCode(db);
    Health health = Health::Sound;
    if (QFileInfo(catalogue).size() == 0 || (rc & 0xff) == SQLITE_NOTADB ||
        (rc & 0xff) == SQLITE_CORRUPT)
        health = Health::Damaged;
    else if (rc != SQLITE_OK || !Catalogue::CheckSchema(db, error))
        health = Health::Unusable;
    if (health == Health::Unusable && rc != SQLITE_OK && error)
        *error = db ? Sqlite::LastError(db) : openError;
    return health;
}

// Copies the backup `from` over the sound catalogue `to` inside one SQLite transaction: it
// is as atomic as writing beside and renaming, keeps the file and its mode, and running
// copies of the program see the restored catalogue instead of writing on into a file that
// is no longer there. Refuses if anything was stored since `counter` was read, since the
// backup made just before would not hold it.
bool CopyOver(sqlite3* from, sqlite3* to, quint32 counter, QString* error) {
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    // A step of no pages only takes the catalogue's write lock, which then holds until the
    // end; the counter is read under it, through SQLite's own descriptor.
    int rc = backup ? sqlite3_backup_step(backup, 0) : SQLITE_ERROR;
    QString failure;
    quint32 now = 0;
    if (rc == SQLITE_OK && !Copy::ChangeCounter(to, false, &now, &failure))
        rc = SQLITE_ERROR;
    else if (rc == SQLITE_OK && now != counter)
        failure =
            QStringLiteral("the catalogue changed meanwhile; nothing was replaced, try again");
    else if (rc == SQLITE_OK)
        rc = sqlite3_backup_step(backup, -1);
    if (failure.isEmpty() && rc != SQLITE_DONE)
        failure = (rc & 0xff) == SQLITE_BUSY ? QStringLiteral("the catalogue is locked by another "
                                                              "program; nothing was replaced")
                                             : StepError(to, rc);
    if (backup && sqlite3_backup_finish(backup) != SQLITE_OK && failure.isEmpty())
        failure = Sqlite::LastError(to);
    return failure.isEmpty() || Fail(error, failure);
}

// Puts a copy of `from` where the catalogue is missing or beyond repair, moving a damaged
// file into the backups folder first.
bool PutInPlace(sqlite3* from, const QString& catalogue, bool damaged, QString* savedAs,
                QString* error) {
    QString temp;
    QString failure;
    if (!Catalogue::CreateTempBeside(catalogue, &temp, &failure) ||
        !Copy::CopyInSteps(from, temp, -1, nullptr, &failure)) {
        QFile::remove(temp);
        return Fail(error, failure);
    }
    QString aside;
    if (damaged) {
        aside = QDir(FolderOf(catalogue))
                    .filePath(Folder::NameAt(QDateTime::currentDateTimeUtc(),
                                             QStringLiteral(".damaged")));
        if (::rename(QFile::encodeName(catalogue).constData(),
                     QFile::encodeName(aside).constData()) != 0) {
            failure = SystemError();
            QFile::remove(temp);
            return Fail(error, QStringLiteral("cannot move %1 aside: %2").arg(catalogue, failure));
        }
    }
    if (!Catalogue::PublishNoClobber(temp, catalogue, &failure)) {
        QFile::remove(temp);
        if (damaged)
            ::rename(QFile::encodeName(aside).constData(),
                     QFile::encodeName(catalogue).constData());
        return Fail(error, failure);
    }
    if (savedAs)
        *savedAs = QFileInfo(aside).fileName();
    return true;
}

// Puts the bytes of the backup at `path` in place of the sound catalogue, which another key
// opens: SQLite cannot copy pages between files of different keys, and the backup must come
// back as it was made. Only while no copy of the program has the catalogue open, since the
// file is replaced, not written into; `counter` is the catalogue's as it was backed up.
bool ReplaceFile(const QString& path, const QString& catalogue, quint32 counter, QString* error) {
    const QString copies = CopyLock::PathFor(catalogue);
    if (CopyLock::AnyRunning(copies))
        return Fail(error, QStringLiteral("Sitemora is running on %1, and this backup is "
                                          "encrypted differently: close it first")
                               .arg(catalogue));
    Copy::Taken taken;
    if (Copy::Take(path, catalogue, {}, nullptr, &taken, error) != Copy::Outcome::Copied)
        return false;
    const bool ok = Copy::PublishOver(&taken, catalogue, copies, counter, error);
    Copy::Discard(&taken);
    return ok;
}

// Backs up the sound catalogue as it is, then copies `from` over it.
bool ReplaceSound(sqlite3* from, const QString& path, const QString& catalogue, QString* savedAs,
                  QString* error) {
    Sqlite::Database to;
    QString failure;
    if (!Catalogue::OpenExisting(catalogue, Catalogue::Access::ReadWrite, &to, &failure))
        return Fail(error, QStringLiteral("%1: %2; nothing was replaced").arg(catalogue, failure));
    quint32 counter = 0;
    if (!Copy::ChangeCounter(to.Get(), true, &counter, &failure))
        return Fail(error, QStringLiteral("%1: %2; nothing was replaced").arg(catalogue, failure));
    Once nothing(nullptr);
    Options first;
    first.keep = 0; // pruned only when done: the backup being restored may be the oldest
    first.onlyIfChanged = false;
    if (CopyAndPublish(catalogue, first, true, nothing, savedAs, &failure) != Result::Written)
        return Fail(error, failure + QStringLiteral("; nothing was replaced"));
    if (!Cipher::SameEncryption(path, catalogue)) {
        to = Sqlite::Database();
        return ReplaceFile(path, catalogue, counter, error);
    }
    return CopyOver(from, to.Get(), counter, error);
}

} // namespace

QString FolderOf(const QString& catalogue) {
    return catalogue + QStringLiteral(".backups");
}

bool KeepFromEnvironment(int* keep, QString* error) {
    *keep = kDefaultKeep;
    if (!qEnvironmentVariableIsSet(kKeepVariable))
        return true;
    bool ok = false;
    const int value = qEnvironmentVariable(kKeepVariable).trimmed().toInt(&ok);
    if (!ok || value < 1 || value > kMaxKeep)
        return Fail(error, QStringLiteral("%1 must be a number from 1 to %2")
                               .arg(QLatin1String(kKeepVariable))
                               .arg(kMaxKeep));
    *keep = value;
    return true;
}

QList<Entry> List(const QString& catalogue) {
    QList<Entry> entries;
    const QDir dir(FolderOf(catalogue));
    for (const QFileInfo& file : dir.entryInfoList(QDir::Files)) {
        const QDateTime time = Folder::TimeOf(file.fileName());
        if (time.isValid())
            entries.append({file.fileName(), file.filePath(), time, file.size()});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name > b.name; });
    return entries;
}

qint64 CountSites(const QString& path, QString* error) {
    Sqlite::Database db;
    if (!Catalogue::OpenExisting(path, Catalogue::Access::ReadOnly, &db, error))
        return -1;
    Sqlite::Statement count(db.Get(), "SELECT count(*) FROM Web");
    if (count.Next())
        return count.Integer(0);
    Fail(error, Sqlite::LastError(db.Get()));
    return -1;
}

Result Make(const QString& catalogue, const Options& options, QString* name, QString* error) {
    Once released(options.released);
    if (!QFileInfo::exists(catalogue))
        return Result::NoCatalogue;
    // Before the folder is made: nothing may appear beside a FIFO or a device.
    if (QString kind; !Catalogue::RegularOrMissing(catalogue, &kind)) {
        Fail(error, QStringLiteral("%1: %2").arg(catalogue, kind));
        return Result::Failed;
    }
    if (!Folder::Ensure(FolderOf(catalogue), error))
        return Result::Failed;
    return CopyAndPublish(catalogue, options, false, released, name, error);
}

bool Restore(const QString& catalogue, const QString& name, int keep, QString* savedAs,
             QString* error) {
    if (QString kind; !Catalogue::RegularOrMissing(catalogue, &kind))
        return Fail(error, QStringLiteral("%1: %2; nothing was replaced").arg(catalogue, kind));
    const QString folder = FolderOf(catalogue);
    const QString path = QDir(folder).filePath(name);
    if (!Folder::TimeOf(name).isValid() || !QFileInfo(path).isFile())
        return Fail(error, QStringLiteral("there is no backup named %1 in %2").arg(name, folder));
    Folder::Lock lock;
    if (!lock.Acquire(folder, kFolderWaitMs, nullptr, error))
        return false;
    // The backup must be sound before the catalogue is touched at all.
    Sqlite::Database backup;
    QString failure;
    if (!Catalogue::OpenExisting(path, Catalogue::Access::ReadOnly, &backup, &failure) ||
        !Copy::QuickCheck(backup.Get(), nullptr, &failure)) {
        return Fail(
            error,
            QStringLiteral("backup %1 is damaged (%2); nothing was replaced").arg(name, failure));
    }
    sqlite3* from = backup.Get();
    if (savedAs)
        savedAs->clear();

    bool ok = false;
    if (!QFileInfo::exists(catalogue)) {
        ok = PutInPlace(from, catalogue, false, savedAs, error);
    } else {
        switch (Examine(catalogue, &failure)) {
        case Health::Damaged:
            ok = PutInPlace(from, catalogue, true, savedAs, error);
            break;
        case Health::Unusable:
            return Fail(error,
                        QStringLiteral("%1: %2; nothing was replaced").arg(catalogue, failure));
        case Health::Sound:
            ok = ReplaceSound(from, path, catalogue, savedAs, error);
            if (ok)
                Folder::Prune(catalogue, keep);
            break;
        }
    }
    return ok;
}

} // namespace Backup
