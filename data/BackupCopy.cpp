#include "BackupCopy.h"

#include "Amalgamation.h"
#include "BackupErrors.h"
#include "Catalogue.h"
#include "Cipher.h"
#include "CopyLock.h"
#include "FindIndex.h"
#include "Sqlite.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Backup::Copy {

namespace {

// Another copy of the program that waits to store gets the file back well inside its own
// lock wait; it then waits this long at most for the copy.
constexpr int kMaxHoldMs = 2000;
// A writer that keeps coming back whenever the copy has held the file that long wins in
// the end: the backup is given up rather than tried for ever.
constexpr int kMaxAttempts = 5;
constexpr int kChunk = 1 << 20;
// Another running copy that writes restarts SQLite's online backup from its first page.
constexpr int kMaxRestarts = 20;

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel && cancel->load();
}

sqlite3_file* FileOf(sqlite3* db) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods)
        return nullptr;
    return file;
}

// Whether a connection elsewhere holds the write lock: a writer that will soon wait for
// the read lock to go.
bool WriterWaits(sqlite3_file* file) {
    int reserved = 0;
    return file->pMethods->xCheckReservedLock(file, &reserved) == SQLITE_OK && reserved != 0;
}

void WaitWhileWriting(sqlite3* db, const std::atomic<bool>* cancel) {
    sqlite3_file* file = FileOf(db);
    QElapsedTimer clock;
    clock.start();
    while (file && WriterWaits(file) && !Cancelled(cancel) &&
           clock.elapsed() < Sqlite::kBusyTimeoutMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// SQLite's read lock, held from Take until the object goes. BEGIN alone takes no lock:
// reading the schema does.
class ReadLock {
public:
    explicit ReadLock(sqlite3* db) : db_(db) {}
    ~ReadLock() { Release(); }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

    bool Take(QString* error) {
        held_ = Sqlite::Exec(db_, "BEGIN", nullptr);
        if (held_ && Sqlite::Exec(db_, "SELECT count(*) FROM sqlite_schema", nullptr))
            return true;
        const QString failure = Sqlite::LastError(db_);
        Release();
        return Fail(error, failure);
    }
    void Release() {
        if (std::exchange(held_, false))
            Sqlite::Exec(db_, "COMMIT", nullptr);
    }

private:
    sqlite3* db_;
    bool held_ = false;
};

quint32 BigEndian(const unsigned char* bytes) {
    return quint32(bytes[0]) << 24 | quint32(bytes[1]) << 16 | quint32(bytes[2]) << 8 | bytes[3];
}

// Cheap evidence of the catalogue's state: which file it is, its size and modification
// time, and its header, whose change counter grows with every committed transaction.
// Were a write-ahead log ever used, it would hold changes the main file does not show
// yet, so its size and time count too. stat() opens nothing, so it leaves locks alone.
bool Fingerprint(const QString& path, sqlite3* db, QByteArray* header, QByteArray* out,
                 QString* error) {
    const QByteArray file = QFile::encodeName(path);
    struct stat info {};
    if (::stat(file.constData(), &info) != 0)
        return Fail(error, QStringLiteral("cannot read %1: %2").arg(path, SystemError()));
    header->resize(100);
    if (!ReadFile(db, header->data(), int(header->size()), 0, error))
        return false;
    auto stamp = [](const struct stat& s) {
        return QByteArray::number(qint64(s.st_size)) + ':' +
               QByteArray::number(qint64(s.st_mtim.tv_sec)) + '.' +
               QByteArray::number(qint64(s.st_mtim.tv_nsec));
    };
    *out = QByteArray::number(quint64(info.st_dev)) + ':' +
           QByteArray::number(quint64(info.st_ino)) + ':' + stamp(info) + ':' + header->toHex();
    struct stat wal {};
    if (::stat((file + "-wal").constData(), &wal) == 0)
        *out += ":wal:" + stamp(wal);
    return true;
}

bool WriteAll(int fd, const char* bytes, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, static_cast<size_t>(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= n;
    }
    return true;
}

enum class Step { Done, GaveWay, Failed };

// Copies the main file whole, read through SQLite's own descriptor of it, as it is on disk:
// an encrypted catalogue gives an encrypted copy, under the same key.
Step CopyBytes(sqlite3* db, int fd, const std::atomic<bool>* cancel, QString* error) {
    sqlite3_file* file = SitemoraDiskFile(db);
    sqlite3_int64 size = 0;
    if (!file || file->pMethods->xFileSize(file, &size) != SQLITE_OK) {
        Fail(error, QStringLiteral("cannot tell its size"));
        return Step::Failed;
    }
    std::vector<char> buffer(kChunk);
    QElapsedTimer held;
    held.start();
    for (sqlite3_int64 offset = 0; offset < size;) {
        const int n = static_cast<int>(std::min<sqlite3_int64>(kChunk, size - offset));
        if (file->pMethods->xRead(file, buffer.data(), n, offset) != SQLITE_OK) {
            Fail(error, QStringLiteral("cannot read it"));
            return Step::Failed;
        }
        if (!WriteAll(fd, buffer.data(), n)) {
            Fail(error, SystemError());
            return Step::Failed;
        }
        offset += n;
        if (Cancelled(cancel)) {
            Fail(error, QStringLiteral("stopped before the copy was complete"));
            return Step::Failed;
        }
        if (held.elapsed() > kMaxHoldMs && WriterWaits(file))
            return Step::GaveWay;
    }
    return Step::Done;
}

// A new file beside `target`, named so that RemoveLeftovers knows it and locked so that
// it leaves it alone while it is written.
bool CreateLocked(const QString& target, Taken* taken, QString* error) {
    taken->fd = Catalogue::CreateLockedTempBeside(target, &taken->temp, error);
    return taken->fd >= 0;
}

int Interrupt(void* cancel) {
    return Cancelled(static_cast<const std::atomic<bool>*>(cancel)) ? 1 : 0;
}

} // namespace

bool ReadFile(sqlite3* db, void* bytes, int count, qint64 offset, QString* error) {
    sqlite3_file* file = FileOf(db);
    if (file && file->pMethods->xRead(file, bytes, count, offset) == SQLITE_OK)
        return true;
    return Fail(error, QStringLiteral("cannot read the file's header"));
}

bool ChangeCounter(sqlite3* db, bool takeLock, quint32* counter, QString* error) {
    ReadLock lock(db);
    unsigned char bytes[4] = {};
    if ((takeLock && !lock.Take(error)) || !ReadFile(db, bytes, sizeof bytes, 24, error))
        return false;
    *counter = BigEndian(bytes);
    return true;
}

Outcome Take(const QString& catalogue, const QString& target,
             const std::function<bool(const QByteArray&)>& unchanged,
             const std::atomic<bool>* cancel, Taken* taken, QString* error) {
    Sqlite::Database handle;
    // Read-write, so that SQLite can roll back what a crashed writer left half done.
    if (!Catalogue::OpenExisting(catalogue, Catalogue::Access::ReadWrite, &handle, error))
        return Outcome::Failed;
    sqlite3* db = handle.Get();
    if (!CreateLocked(target, taken, error)) {
        Discard(taken);
        return Outcome::Failed;
    }
    const auto failed = [&] {
        Discard(taken);
        return Outcome::Failed;
    };
    for (int attempt = 1;; ++attempt) {
        ReadLock lock(db);
        QByteArray header;
        if (!lock.Take(error) || !Fingerprint(catalogue, db, &header, &taken->fingerprint, error))
            return failed();
        if (unchanged && unchanged(taken->fingerprint)) {
            Discard(taken);
            return Outcome::Unchanged;
        }
        // In write-ahead mode the main file alone lacks the newest changes: SQLite copies
        // such a file page by page instead.
        if (header[18] == 2) {
            lock.Release();
            return CopyInSteps(db, taken->temp, 256, cancel, error) ? Outcome::Copied : failed();
        }
        switch (CopyBytes(db, taken->fd, cancel, error)) {
        case Step::Done:
            return Outcome::Copied;
        case Step::Failed:
            return failed();
        case Step::GaveWay:
            break;
        }
        lock.Release();
        if (attempt == kMaxAttempts) {
            Fail(error, QStringLiteral("another program kept writing to it while it was copied"));
            return failed();
        }
        WaitWhileWriting(db, cancel);
        if (::ftruncate(taken->fd, 0) != 0 || ::lseek(taken->fd, 0, SEEK_SET) != 0) {
            Fail(error, SystemError());
            return failed();
        }
    }
}

void Discard(Taken* taken) {
    if (taken->fd >= 0)
        ::close(taken->fd);
    taken->fd = -1;
    if (!taken->temp.isEmpty())
        QFile::remove(taken->temp);
    taken->temp.clear();
}

bool QuickCheck(sqlite3* db, const std::atomic<bool>* cancel, QString* error) {
    // The progress handler is how a long check is stopped; the layer has no use for it
    // elsewhere.
    sqlite3_progress_handler(db, 10000, cancel ? Interrupt : nullptr,
                             const_cast<std::atomic<bool>*>(cancel));
    QString verdict;
    bool sound = false;
    {
        Sqlite::Statement check(db, "PRAGMA quick_check(1)");
        sound = check.Next();
        verdict = sound ? QString::fromUtf8(check.View(0)) : Sqlite::LastError(db);
    }
    sqlite3_progress_handler(db, 0, nullptr, nullptr);
    if (sound && verdict == QLatin1String("ok"))
        return true;
    return Fail(error, verdict);
}

bool PublishOver(Taken* taken, const QString& target, const QString& copies, quint32 counter,
                 QString* error) {
    Sqlite::Database guard;
    quint32 now = 0;
    if (guard.Open(target, SQLITE_OPEN_READWRITE, error, Sqlite::kBusyTimeoutMs) != SQLITE_OK ||
        !Sqlite::Exec(guard.Get(), "BEGIN EXCLUSIVE", error) ||
        !ChangeCounter(guard.Get(), false, &now, error))
        return false;
    if (now != counter)
        return Fail(error, QStringLiteral("%1 changed meanwhile; try again").arg(target));
    if (!copies.isEmpty() && CopyLock::AnyRunning(copies))
        return Fail(error, QStringLiteral("Sitemora was started on %1 meanwhile").arg(target));
    if (!Catalogue::PublishReplacing(taken->temp, target, error))
        return false;
    taken->temp.clear(); // it is the target now
    Find::RemoveIndex(target);
    return true;
}

bool Check(const QString& path, const std::atomic<bool>* cancel, QString* error) {
    Sqlite::Database copy;
    return copy.Open(path, SQLITE_OPEN_READONLY, error) == SQLITE_OK &&
           QuickCheck(copy.Get(), cancel, error);
}

bool CopyInSteps(sqlite3* source, const QString& destPath, int pagesPerStep,
                 const std::atomic<bool>* cancel, QString* error) {
    Sqlite::Database handle;
    QString failure;
    // A failed copy is thrown away whole, so it needs no journal; SQLite still flushes it
    // to disk when the last step commits.
    const bool open = handle.Open(destPath, SQLITE_OPEN_READWRITE, &failure) == SQLITE_OK &&
                      Cipher::KeyLike(handle.Get(), source, &failure) &&
                      Sqlite::Exec(handle.Get(), "PRAGMA journal_mode = OFF", &failure);
    sqlite3* dest = handle.Get();
    // SQLite's online backup API copies page by page; the layer has no wrapper for it.
    sqlite3_backup* backup = open ? sqlite3_backup_init(dest, "main", source, "main") : nullptr;
    if (!backup && failure.isEmpty())
        failure = Sqlite::LastError(dest);
    int rc = SQLITE_OK;
    int remaining = INT_MAX;
    int restarts = 0;
    while (backup) {
        rc = sqlite3_backup_step(backup, pagesPerStep);
        if (rc == SQLITE_DONE)
            break;
        if (rc != SQLITE_OK) {
            // The source's busy handler has already waited its time.
            failure = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED
                          ? QStringLiteral("the catalogue stayed locked by another program")
                          : StepError(dest, rc);
            break;
        }
        const int left = sqlite3_backup_remaining(backup);
        if (left > remaining && ++restarts > kMaxRestarts) {
            failure = QStringLiteral("the catalogue kept changing while it was copied");
            break;
        }
        remaining = left;
        if (Cancelled(cancel)) {
            failure = QStringLiteral("stopped before the copy was complete");
            break;
        }
        // Let a writer that waits for the file have it between two steps.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (backup && sqlite3_backup_finish(backup) != SQLITE_OK && failure.isEmpty())
        failure = Sqlite::LastError(dest);
    return failure.isEmpty() || Fail(error, failure);
}

} // namespace Backup::Copy
