#include "Backup.h"

#include "Catalogue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace Backup {

namespace {

const QString kNameFormat = QStringLiteral("yyyy-MM-dd'T'HH-mm-ss.zzz'Z'");
const QString kSuffix = QStringLiteral(".mdb");
// What the newest backup was copied from: its name and the catalogue's fingerprint then.
const QString kStateName = QStringLiteral(".newest");
// Another running copy that writes restarts the copy from its first page; give up
// rather than copy for ever.
constexpr int kMaxRestarts = 20;

QString SystemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool Fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

QString ErrorOf(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

QString NameAt(const QDateTime& utc) {
    return utc.toString(kNameFormat) + kSuffix;
}

// The time a backup's name gives; invalid for any other name.
QDateTime TimeOf(const QString& name) {
    if (!name.endsWith(kSuffix))
        return {};
    // Read as UTC from the start: as a local time, an hour skipped by daylight saving
    // would not exist.
    const QDateTime utc(QDate::fromString(name.left(10), QStringLiteral("yyyy-MM-dd")),
                        QTime::fromString(name.mid(11, 12), QStringLiteral("HH-mm-ss.zzz")),
                        QTimeZone::utc());
    return utc.isValid() && NameAt(utc) == name ? utc : QDateTime();
}

// A new name, later than every existing one even if the clock went back meanwhile.
QString NextName(const QList<Entry>& entries) {
    QDateTime when = QDateTime::currentDateTimeUtc();
    if (!entries.isEmpty() && when <= entries.first().time)
        when = entries.first().time.addMSecs(1);
    return NameAt(when);
}

// Cheap evidence of the catalogue's state: which file it is, its size and modification
// time, and its header, whose change counter grows with every committed transaction in
// the rollback-journal mode catalogues use. Were a write-ahead log ever used, it would
// hold changes the main file does not show yet, so its size and time count too.
bool Fingerprint(const QString& path, QByteArray* out, QString* error) {
    const QByteArray file = QFile::encodeName(path);
    const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(path, SystemError()));
    struct stat info {};
    char header[100] = {};
    const bool ok = ::fstat(fd, &info) == 0 && ::pread(fd, header, sizeof header, 0) >= 0;
    const QString failure = SystemError();
    ::close(fd);
    if (!ok)
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(path, failure));
    auto stamp = [](const struct stat& s) {
        return QByteArray::number(qint64(s.st_size)) + ':' +
               QByteArray::number(qint64(s.st_mtim.tv_sec)) + '.' +
               QByteArray::number(qint64(s.st_mtim.tv_nsec));
    };
    *out = QByteArray::number(quint64(info.st_dev)) + ':' +
           QByteArray::number(quint64(info.st_ino)) + ':' + stamp(info) + ':' +
           QByteArray(header, sizeof header).toHex();
    struct stat wal {};
    if (::stat((file + "-wal").constData(), &wal) == 0)
        *out += ":wal:" + stamp(wal);
    return true;
}

// The header's change counter, which every committed change of the catalogue moves on.
quint32 ChangeCounter(const QString& path) {
    unsigned char bytes[4] = {};
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (::pread(fd, bytes, sizeof bytes, 24) != sizeof bytes)
            std::memset(bytes, 0, sizeof bytes);
        ::close(fd);
    }
    return quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | bytes[3];
}

struct State {
    QString name;
    QByteArray fingerprint;
};

State ReadState(const QString& folder) {
    QFile file(QDir(folder).filePath(kStateName));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2)
        return {};
    return {QString::fromUtf8(lines[0]), lines[1]};
}

// Losing the state costs one needless backup at the next start, so a failure here is
// not worth reporting.
void WriteState(const QString& folder, const State& state) {
    const QString target = QDir(folder).filePath(kStateName);
    QString temp;
    if (!Catalogue::CreateTempBeside(target, &temp, nullptr))
        return;
    QFile file(temp);
    const bool ok = file.open(QIODevice::WriteOnly) &&
                    file.write(state.name.toUtf8() + '\n' + state.fingerprint + '\n') > 0 &&
                    file.flush();
    file.close();
    if (!ok ||
        ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(target).constData()) != 0)
        QFile::remove(temp);
}

bool EnsureFolder(const QString& folder, QString* error) {
    // 0700: every backup holds the catalogue's passwords.
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) == 0)
        return true;
    if (errno == EEXIST && QFileInfo(folder).isDir())
        return true;
    const QString failure = errno == EEXIST ? QStringLiteral("it is not a folder") : SystemError();
    return Fail(error, QStringLiteral("cannot make the folder %1: %2").arg(folder, failure));
}

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load();
}

// Keeps backups and restores of one catalogue, by running copies of the program and by
// the command line alike, from picking over each other's files.
class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    bool Acquire(const QString& folder, const std::atomic<bool>* cancel, QString* error) {
        fd_ = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd_ < 0)
            return Fail(error, QStringLiteral("cannot open %1: %2").arg(folder, SystemError()));
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR)
                return Fail(error, QStringLiteral("cannot lock %1: %2").arg(folder, SystemError()));
            if (Cancelled(cancel))
                return Fail(error, QStringLiteral("stopped while another backup was being made"));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

private:
    int fd_ = -1;
};

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

// Temporary files left by a backup that was cut short. Only called with the folder
// locked, when no other backup can be writing one.
void RemoveLeftovers(const QString& folder) {
    QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden)) {
        if (!name.startsWith(QLatin1Char('.')) || name.size() < 8 ||
            name[name.size() - 7] != QLatin1Char('.'))
            continue;
        const QString base = name.mid(1, name.size() - 8);
        if (base == kStateName || TimeOf(base).isValid())
            dir.remove(name);
    }
}

void Prune(const QString& catalogue, int keep) {
    if (keep <= 0)
        return;
    const QList<Entry> entries = List(catalogue);
    for (qsizetype i = keep; i < entries.size(); ++i)
        QFile::remove(entries[i].path);
}

int Interrupt(void* cancel) {
    return Cancelled(static_cast<const std::atomic<bool>*>(cancel)) ? 1 : 0;
}

bool QuickCheck(sqlite3* db, const std::atomic<bool>* cancel, QString* error) {
    sqlite3_progress_handler(db, 10000, cancel ? Interrupt : nullptr,
                             const_cast<std::atomic<bool>*>(cancel));
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA quick_check(1)", -1, &statement, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_step(statement);
    const QString verdict =
        rc == SQLITE_ROW
            ? QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)))
            : ErrorOf(db);
    sqlite3_finalize(statement);
    sqlite3_progress_handler(db, 0, nullptr, nullptr);
    if (rc == SQLITE_ROW && verdict == QLatin1String("ok"))
        return true;
    return Fail(error, verdict);
}

// Copies the database `source` into the empty file `destPath` with SQLite's online backup,
// a few pages at a time, so the source is consistent as a whole yet never locked for long.
bool CopyInSteps(sqlite3* source, const QString& destPath, const Options& options, QString* error) {
    sqlite3* dest = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(destPath).constData(), &dest, SQLITE_OPEN_READWRITE,
                             nullptr);
    // A failed copy is thrown away whole, so it needs no journal; SQLite still flushes it
    // to disk when the last step commits.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(dest, "PRAGMA journal_mode = OFF", nullptr, nullptr, nullptr);
    sqlite3_backup* backup =
        rc == SQLITE_OK ? sqlite3_backup_init(dest, "main", source, "main") : nullptr;
    QString failure = backup ? QString() : ErrorOf(dest);
    int remaining = INT_MAX;
    int restarts = 0;
    while (backup) {
        rc = sqlite3_backup_step(backup, options.pagesPerStep);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_OK) {
            // The source's busy handler has already waited its time.
            failure = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED
                          ? QStringLiteral("the catalogue stayed locked by another program")
                          : ErrorOf(dest);
            break;
        }
        const int left = sqlite3_backup_remaining(backup);
        if (left > remaining && ++restarts > kMaxRestarts) {
            failure = QStringLiteral("the catalogue kept changing while it was copied");
            break;
        }
        remaining = left;
        if (Cancelled(options.cancel)) {
            failure = QStringLiteral("stopped before the copy was complete");
            break;
        }
        // Let a writer that waits for the file have it between two steps.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (backup && sqlite3_backup_finish(backup) != SQLITE_OK && failure.isEmpty())
        failure = ErrorOf(dest);
    sqlite3_close(dest);
    return failure.isEmpty() || Fail(error, failure);
}

// Writes a backup with the folder already locked. `verify` refuses a catalogue that is
// damaged, so that copies of it never push the sound backups out.
Result MakeLocked(const QString& catalogue, const Options& options, bool verify, Once& released,
                  QString* name, QString* error) {
    const QString folder = FolderOf(catalogue);
    QByteArray fingerprint;
    if (!Fingerprint(catalogue, &fingerprint, error))
        return Result::Failed;
    const QList<Entry> entries = List(catalogue);
    if (options.onlyIfChanged && !entries.isEmpty()) {
        const State state = ReadState(folder);
        if (state.name == entries.first().name && state.fingerprint == fingerprint)
            return Result::Unchanged;
    }
    RemoveLeftovers(folder);

    const QString newName = NextName(entries);
    const QString target = QDir(folder).filePath(newName);
    sqlite3* source = nullptr;
    QString temp;
    QString failure;
    bool ok = Catalogue::OpenExisting(catalogue, Catalogue::Access::ReadWrite, &source, &failure) &&
              Catalogue::CreateTempBeside(target, &temp, &failure) &&
              CopyInSteps(source, temp, options, &failure);
    sqlite3_close(source);
    released();
    if (ok && verify) {
        sqlite3* copy = nullptr;
        ok = sqlite3_open_v2(QFile::encodeName(temp).constData(), &copy, SQLITE_OPEN_READONLY,
                             nullptr) == SQLITE_OK;
        if (ok && !QuickCheck(copy, options.cancel, &failure)) {
            ok = false;
            if (!Cancelled(options.cancel))
                failure = QStringLiteral("it is damaged (%1)").arg(failure);
        }
        sqlite3_close(copy);
    }
    ok = ok && Catalogue::PublishNoClobber(temp, target, &failure);
    if (!ok) {
        if (!temp.isEmpty())
            QFile::remove(temp);
        Fail(error, QStringLiteral("cannot back up %1 in %2: %3").arg(catalogue, folder, failure));
        return Result::Failed;
    }
    WriteState(folder, {newName, fingerprint});
    Prune(catalogue, options.keep);
    if (name)
        *name = newName;
    return Result::Written;
}

enum class Health { Sound, Damaged, Unusable };

// Whether the catalogue can be written through SQLite (Sound), is beyond it (Damaged: not
// a database any more, or corrupt), or must be left alone (Unusable: locked, or some
// other database that is not a catalogue).
Health Examine(const QString& catalogue, QString* error) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(catalogue).constData(), &db, SQLITE_OPEN_READWRITE,
                             nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, Catalogue::kBusyTimeoutMs);
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr);
    }
    Health health = Health::Sound;
    if (QFileInfo(catalogue).size() == 0 || (rc & 0xff) == SQLITE_NOTADB ||
        (rc & 0xff) == SQLITE_CORRUPT)
        health = Health::Damaged;
    else if (rc != SQLITE_OK || !Catalogue::CheckSchema(db, error))
        health = Health::Unusable;
    if (health == Health::Unusable && rc != SQLITE_OK && error)
        *error = ErrorOf(db);
    sqlite3_close(db);
    return health;
}

// Copies the backup `from` over the sound catalogue inside one SQLite transaction: it is
// as atomic as writing beside and renaming, keeps the file and its mode, and running
// copies of the program see the restored catalogue instead of writing on into a file that
// is no longer there. Refuses if anything was stored since `counter` was read, since the
// backup made just before would not hold it.
bool CopyOver(sqlite3* from, const QString& catalogue, quint32 counter, QString* error) {
    sqlite3* to = nullptr;
    int rc = sqlite3_open_v2(QFile::encodeName(catalogue).constData(), &to, SQLITE_OPEN_READWRITE,
                             nullptr);
    sqlite3_busy_timeout(to, Catalogue::kBusyTimeoutMs);
    sqlite3_backup* backup =
        rc == SQLITE_OK ? sqlite3_backup_init(to, "main", from, "main") : nullptr;
    // A step of no pages only takes the catalogue's lock, which then holds until the end.
    rc = backup ? sqlite3_backup_step(backup, 0) : SQLITE_ERROR;
    QString failure;
    if (rc == SQLITE_OK && ChangeCounter(catalogue) != counter)
        failure =
            QStringLiteral("the catalogue changed meanwhile; nothing was replaced, try again");
    else if (rc == SQLITE_OK)
        rc = sqlite3_backup_step(backup, -1);
    if (failure.isEmpty() && rc != SQLITE_DONE)
        failure = (rc & 0xff) == SQLITE_BUSY ? QStringLiteral("the catalogue is locked by another "
                                                              "program; nothing was replaced")
                                             : ErrorOf(to);
    if (backup && sqlite3_backup_finish(backup) != SQLITE_OK && failure.isEmpty())
        failure = ErrorOf(to);
    sqlite3_close(to);
    return failure.isEmpty() || Fail(error, failure);
}

// Puts a copy of `from` where the catalogue is missing or beyond repair, moving a damaged
// file into the backups folder first.
bool PutInPlace(sqlite3* from, const QString& catalogue, bool damaged, QString* savedAs,
                QString* error) {
    QString temp;
    QString failure;
    Options whole;
    whole.pagesPerStep = -1;
    if (!Catalogue::CreateTempBeside(catalogue, &temp, &failure) ||
        !CopyInSteps(from, temp, whole, &failure)) {
        QFile::remove(temp);
        return Fail(error, failure);
    }
    QString aside;
    if (damaged) {
        aside = QDir(FolderOf(catalogue))
                    .filePath(QDateTime::currentDateTimeUtc().toString(kNameFormat) +
                              QStringLiteral(".damaged"));
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
        const QDateTime time = TimeOf(file.fileName());
        if (time.isValid())
            entries.append({file.fileName(), file.filePath(), time, file.size()});
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.name > b.name; });
    return entries;
}

qint64 CountSites(const QString& path, QString* error) {
    sqlite3* db = nullptr;
    if (!Catalogue::OpenExisting(path, Catalogue::Access::ReadOnly, &db, error))
        return -1;
    sqlite3_stmt* statement = nullptr;
    qint64 count = -1;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM Web", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        count = sqlite3_column_int64(statement, 0);
    else
        Fail(error, ErrorOf(db));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return count;
}

Result Make(const QString& catalogue, const Options& options, QString* name, QString* error) {
    Once released(options.released);
    if (!QFileInfo::exists(catalogue))
        return Result::NoCatalogue;
    const QString folder = FolderOf(catalogue);
    FolderLock lock;
    if (!EnsureFolder(folder, error) || !lock.Acquire(folder, options.cancel, error))
        return Result::Failed;
    return MakeLocked(catalogue, options, true, released, name, error);
}

bool Restore(const QString& catalogue, const QString& name, int keep, QString* savedAs,
             QString* error) {
    const QString folder = FolderOf(catalogue);
    const QString path = QDir(folder).filePath(name);
    if (!TimeOf(name).isValid() || !QFileInfo(path).isFile())
        return Fail(error, QStringLiteral("there is no backup named %1 in %2").arg(name, folder));
    FolderLock lock;
    if (!lock.Acquire(folder, nullptr, error))
        return false;
    // The backup must be sound before the catalogue is touched at all.
    sqlite3* from = nullptr;
    QString failure;
    if (!Catalogue::OpenExisting(path, Catalogue::Access::ReadOnly, &from, &failure) ||
        !QuickCheck(from, nullptr, &failure)) {
        sqlite3_close(from);
        return Fail(
            error,
            QStringLiteral("backup %1 is damaged (%2); nothing was replaced").arg(name, failure));
    }
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> closeFrom(from, sqlite3_close);
    if (savedAs)
        savedAs->clear();

    if (!QFileInfo::exists(catalogue))
        return PutInPlace(from, catalogue, false, savedAs, error);
    switch (Examine(catalogue, &failure)) {
    case Health::Damaged:
        return PutInPlace(from, catalogue, true, savedAs, error);
    case Health::Unusable:
        return Fail(error, QStringLiteral("%1: %2; nothing was replaced").arg(catalogue, failure));
    case Health::Sound:
        break;
    }
    const quint32 counter = ChangeCounter(catalogue);
    Once nothing(nullptr);
    Options first;
    first.keep = 0; // pruned only when done: the backup being restored may be the oldest
    first.onlyIfChanged = false;
    // Whatever the catalogue holds now, damaged or not, is kept: the user may want it back.
    if (MakeLocked(catalogue, first, false, nothing, savedAs, &failure) != Result::Written)
        return Fail(error, failure + QStringLiteral("; nothing was replaced"));
    if (!CopyOver(from, catalogue, counter, error))
        return false;
    Prune(catalogue, keep);
    return true;
}

} // namespace Backup
