#include "Catalogue.h"

#include "Failure.h"
#include "Sqlite.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Catalogue {

const QStringList& WebTextColumns() {
    static const QStringList columns = [] {
        QStringList c{"WebName",  "WebUrl",  "WebPr",    "WebUser1", "WebKey1",
                      "WebUser2", "WebKey2", "WebUser3", "WebKey3"};
        for (int n = 1; n <= 8; ++n)
            c << QStringLiteral("WebSonName%1").arg(n);
        for (int n = 1; n <= 8; ++n)
            c << QStringLiteral("WebSonPage%1").arg(n);
        return c;
    }();
    return columns;
}

bool ApplySchema(sqlite3* db, QString* error) {
    // AUTOINCREMENT keeps keys from ever being handed out twice, even after the
    // highest row is deleted; the CHECKs keep keys inside the 32-bit range the
    // catalogue promises. ContentWeb is deliberately not a foreign key: orphan
    // paragraphs carry 0.
    QByteArray sql = "PRAGMA application_id = 1398034765;\n"
                     "PRAGMA user_version = 1;\n"
                     "BEGIN;\n"
                     "CREATE TABLE Web (\n"
                     "  WebIndex INTEGER PRIMARY KEY AUTOINCREMENT"
                     " CHECK (WebIndex BETWEEN 1 AND 2147483647)";
    for (const QString& column : WebTextColumns())
        sql += ",\n  " + column.toUtf8() + " TEXT";
    sql += "\n);\n"
           "CREATE TABLE Content (\n"
           "  ContentIndex INTEGER PRIMARY KEY AUTOINCREMENT"
           " CHECK (ContentIndex BETWEEN 1 AND 2147483647),\n"
           "  ContentWeb INTEGER DEFAULT 0"
           " CHECK (ContentWeb BETWEEN -2147483648 AND 2147483647),\n"
           "  ContentTxt TEXT\n"
           ");\n"
           "CREATE INDEX ContentByWeb ON Content (ContentWeb, ContentIndex);\n"
           "COMMIT;\n";
    if (Sqlite::Exec(db, sql.constData(), error))
        return true;
    Sqlite::Exec(db, "ROLLBACK", nullptr);
    return false;
}

bool CheckSchema(sqlite3* db, QString* error) {
    const QStringList contentColumns{"ContentIndex", "ContentWeb", "ContentTxt"};
    const QStringList webColumns = QStringList{"WebIndex"} + WebTextColumns();
    const std::pair<const char*, const QStringList*> tables[] = {{"Web", &webColumns},
                                                                 {"Content", &contentColumns}};
    for (const auto& [table, wanted] : tables) {
        QStringList found;
        // table_xinfo would also list hidden columns; the program reads only plain ones.
        Sqlite::Statement names(db, "SELECT name FROM pragma_table_info(?)");
        names.BindText(1, table);
        while (names.Next())
            found << QString::fromUtf8(names.View(0));
        if (names.Failed()) {
            if (error)
                *error = Sqlite::LastError(db);
            return false;
        }
        if (found.isEmpty()) {
            if (error)
                *error = QStringLiteral("not a catalogue: there is no table %1")
                             .arg(QLatin1String(table));
            return false;
        }
        for (const QString& column : *wanted) {
            if (!found.contains(column, Qt::CaseInsensitive)) {
                if (error)
                    *error = QStringLiteral("not a catalogue: table %1 has no column %2")
                                 .arg(QLatin1String(table), column);
                return false;
            }
        }
    }
    return true;
}

bool RegularOrMissing(const QString& path, QString* error) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || S_ISREG(info.st_mode))
        return true;
    if (error)
        *error = QStringLiteral("not a catalogue file");
    return false;
}

namespace {

// Opens `path` and reads its tables once; returns SQLite's extended code, and on a
// failure leaves `*failure` saying why.
int OpenAndCheck(const QString& path, int flags, const std::function<int(sqlite3*)>& setUp,
                 Sqlite::Database* handle, QString* failure) {
    int rc = handle->Open(path, flags, failure, Sqlite::kBusyTimeoutMs);
    if (rc == SQLITE_OK && setUp && (rc = setUp(handle->Get())) != SQLITE_OK)
        *failure = Sqlite::LastError(handle->Get());
    // SQLite reads the header lazily; reading the schema here makes a file that is not a
    // database fail now.
    else if (rc == SQLITE_OK && !CheckSchema(handle->Get(), failure))
        rc = Sqlite::LastCode(handle->Get()) != SQLITE_OK ? Sqlite::LastCode(handle->Get())
                                                          : SQLITE_ERROR;
    return rc;
}

// A writer stopped halfway leaves a journal from which the file must be put back as it
// was before reading it again, and a read-only handle may not do that. The first
// read-write handle would; this one does it now, on the user's behalf.
bool RollBackCutChange(const QString& path, QString* failure) {
    Sqlite::Database db;
    const bool ok =
        db.Open(path, SQLITE_OPEN_READWRITE, nullptr, Sqlite::kBusyTimeoutMs) == SQLITE_OK &&
        Sqlite::Exec(db.Get(), "SELECT count(*) FROM sqlite_schema", nullptr);
    if (!ok)
        *failure = QStringLiteral("a change to it was cut short and must be undone before it can "
                                  "be read; open it once in Sitemora as a user who may change it");
    return ok;
}

} // namespace

bool OpenExisting(const QString& path, Access access, Sqlite::Database* db, QString* error,
                  const std::function<int(sqlite3*)>& setUp) {
    *db = Sqlite::Database();
    if (!RegularOrMissing(path, error))
        return false;
    // Never SQLITE_OPEN_CREATE: a missing catalogue must stay missing. Every user of a
    // handle stays on one thread, so SQLite's own locking of each call is only overhead.
    const int flags = (access == Access::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                      SQLITE_OPEN_NOMUTEX;
    Sqlite::Database handle;
    QString failure;
    int rc = OpenAndCheck(path, flags, setUp, &handle, &failure);
    if (rc == SQLITE_READONLY_ROLLBACK && RollBackCutChange(path, &failure)) {
        handle = Sqlite::Database();
        rc = OpenAndCheck(path, flags, setUp, &handle, &failure);
    }
    if (rc != SQLITE_OK) {
        if (error)
            *error = failure;
        return false;
    }
    *db = std::move(handle);
    return true;
}

void RemoveIfAbandoned(const QString& path) {
    const QByteArray file = QFile::encodeName(path);
    const int fd = ::open(file.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat held {};
    struct stat named {};
    // Unlinked while locked, so that no writer can take it back up meanwhile.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
        ::lstat(file.constData(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev)
        ::unlink(file.constData());
    ::close(fd);
}

namespace {

int MakeTempBeside(const QString& target, QString* tempPath, QString* error) {
    QFileInfo info(target);
    QByteArray pattern = QFile::encodeName(
        QDir(info.absolutePath()).filePath(QStringLiteral(".%1.XXXXXX").arg(info.fileName())));
    // mkstemp creates the file with mode 0600: a catalogue holds passwords.
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        Fail(error, SystemError());
        return -1;
    }
    *tempPath = QFile::decodeName(pattern);
    return fd;
}

} // namespace

bool CreateTempBeside(const QString& target, QString* tempPath, QString* error) {
    const int fd = MakeTempBeside(target, tempPath, error);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

int CreateLockedTempBeside(const QString& target, QString* tempPath, QString* error) {
    const int fd = MakeTempBeside(target, tempPath, error);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    Fail(error, SystemError());
    ::close(fd);
    QFile::remove(*tempPath);
    return -1;
}

namespace {

// Makes what was written to a file, or a folder's names, survive a power cut. A folder
// that may not be read, or a file system that keeps nothing of a folder to flush
// (EINVAL), leaves nothing to do.
bool SyncPath(const QByteArray& path, int flags, QString* error) {
    const int fd = ::open(path.constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return (flags & O_DIRECTORY) ||
               Fail(error, QStringLiteral("cannot open %1: %2")
                               .arg(QFile::decodeName(path), SystemError(errno)));
    const int rc = ::fsync(fd);
    const int code = errno;
    ::close(fd);
    return rc == 0 || code == EINVAL ||
           Fail(error, QStringLiteral("cannot write %1 to the disk: %2")
                           .arg(QFile::decodeName(path), SystemError(code)));
}

bool SyncFolderOf(const QString& path, QString* error) {
    return SyncPath(QFile::encodeName(QFileInfo(path).absolutePath()), O_RDONLY | O_DIRECTORY,
                    error);
}

// A publishing that failed after the file got its new name takes the name back: the
// caller goes on as if nothing was published. `error` already says what failed.
bool TakeBack(const QByteArray& to, const QString& target, QString* error,
              const QByteArray& from = {}) {
    const bool back = from.isEmpty() ? ::unlink(to.constData()) == 0
                                     : ::renameat2(AT_FDCWD, to.constData(), AT_FDCWD,
                                                   from.constData(), RENAME_NOREPLACE) == 0;
    if (!back && error)
        *error += QStringLiteral("; %1 is in place all the same").arg(target);
    return false;
}

} // namespace

bool PublishNoClobber(const QString& tempPath, const QString& target, QString* error) {
    QByteArray from = QFile::encodeName(tempPath);
    QByteArray to = QFile::encodeName(target);
    if (!SyncPath(from, O_RDONLY, error))
        return false;
    // link() fails with EEXIST instead of replacing, unlike rename(). FAT and exFAT drives,
    // and fs.protected_hardlinks for another user's file, refuse the link; a rename with
    // RENAME_NOREPLACE makes the same promise there.
    if (::link(from.constData(), to.constData()) == 0) {
        // The temporary name goes only once the new one is on the disk, so that a power
        // cut meanwhile leaves the file under one name or the other.
        if (!SyncFolderOf(target, error))
            return TakeBack(to, target, error);
        if (::unlink(from.constData()) != 0) {
            Fail(error, QStringLiteral("cannot remove %1: %2").arg(tempPath, SystemError(errno)));
            return TakeBack(to, target, error);
        }
        return true;
    }
    if (const int linkError = errno;
        linkError == EEXIST ||
        ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) != 0) {
        return Fail(error, errno == EEXIST ? QStringLiteral("%1 already exists").arg(target)
                                           : SystemError(linkError));
    }
    return SyncFolderOf(target, error) || TakeBack(to, target, error, from);
}

bool PublishReplacing(const QString& tempPath, const QString& target, QString* error) {
    const QByteArray from = QFile::encodeName(tempPath);
    if (!SyncPath(from, O_RDONLY, error))
        return false;
    if (::rename(from.constData(), QFile::encodeName(target).constData()) != 0)
        return Fail(error, SystemError(errno));
    // The old file is gone already; the new one stays, reported as not safely on the disk.
    return SyncFolderOf(target, error);
}

bool CreateEmpty(const QString& target, QString* error, const Cipher::Secret* passphrase) {
    if (QString kind; !RegularOrMissing(target, &kind))
        return Fail(error, QStringLiteral("%1: %2").arg(target, kind));
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink()) {
        if (error)
            *error = QStringLiteral("%1 already exists").arg(target);
        return false;
    }
    QString temp;
    if (!CreateTempBeside(target, &temp, error))
        return false;
    Sqlite::Database db;
    bool ok = db.Open(temp, SQLITE_OPEN_READWRITE, error) == SQLITE_OK &&
              (!passphrase || Cipher::EncryptNew(db.Get(), *passphrase, error)) &&
              ApplySchema(db.Get(), error);
    db = Sqlite::Database();
    ok = ok && PublishNoClobber(temp, target, error);
    if (!ok)
        QFile::remove(temp);
    return ok;
}

} // namespace Catalogue
