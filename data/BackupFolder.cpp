#include "BackupFolder.h"

#include "BackupErrors.h"
#include "Catalogue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace Backup::Folder {

namespace {

const QString kNameFormat = QStringLiteral("yyyy-MM-dd'T'HH-mm-ss.zzz'Z'");
const QString kSuffix = QStringLiteral(".mdb");
const QString kStateName = QStringLiteral(".newest");

} // namespace

QString NameAt(const QDateTime& utc, const QString& suffix) {
    return utc.toString(kNameFormat) + suffix;
}

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

QString NextName(const QList<Entry>& entries) {
    QDateTime when = QDateTime::currentDateTimeUtc();
    if (!entries.isEmpty() && when <= entries.first().time)
        when = entries.first().time.addMSecs(1);
    return NameAt(when);
}

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

bool NewestHolds(const QString& catalogue, const QByteArray& fingerprint) {
    const QList<Entry> entries = List(catalogue);
    if (entries.isEmpty())
        return false;
    const State state = ReadState(FolderOf(catalogue));
    return state.name == entries.first().name && state.fingerprint == fingerprint;
}

bool Ensure(const QString& folder, QString* error) {
    // 0700: every backup holds the catalogue's passwords.
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) == 0)
        return true;
    if (errno == EEXIST && QFileInfo(folder).isDir())
        return true;
    const QString failure = errno == EEXIST ? QStringLiteral("it is not a folder") : SystemError();
    return Fail(error, QStringLiteral("cannot make the folder %1: %2").arg(folder, failure));
}

void RemoveLeftovers(const QString& folder) {
    QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden)) {
        if (!name.startsWith(QLatin1Char('.')) || name.size() < 8 ||
            name[name.size() - 7] != QLatin1Char('.'))
            continue;
        const QString base = name.mid(1, name.size() - 8);
        if (base == kStateName || TimeOf(base).isValid())
            Catalogue::RemoveIfAbandoned(dir.filePath(name));
    }
}

void Prune(const QString& catalogue, int keep) {
    if (keep <= 0)
        return;
    const QList<Entry> entries = List(catalogue);
    for (qsizetype i = keep; i < entries.size(); ++i)
        QFile::remove(entries[i].path);
}

Lock::~Lock() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool Lock::Acquire(const QString& folder, int timeoutMs, const std::atomic<bool>* cancel,
                   QString* error) {
    fd_ = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0)
        return Fail(error, QStringLiteral("cannot open %1: %2").arg(folder, SystemError()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return Fail(error, QStringLiteral("cannot lock %1: %2").arg(folder, SystemError()));
        if (cancel && cancel->load())
            return Fail(error, QStringLiteral("stopped while another backup was being made"));
        if (std::chrono::steady_clock::now() >= deadline)
            return Fail(error, QStringLiteral("another backup or restore still held %1 after %2 s")
                                   .arg(folder)
                                   .arg(timeoutMs / 1000.0));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

} // namespace Backup::Folder
