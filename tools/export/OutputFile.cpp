#include "OutputFile.h"

#include "Catalogue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr qsizetype kBufferBytes = 1 << 20;

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
    stopSignal = signal;
}

} // namespace

void OutputFile::StopOnInterrupt() {
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0)
        ::close(fd_);
    if (!tempPath_.isEmpty())
        QFile::remove(tempPath_);
    if (lock_ >= 0)
        ::close(lock_);
}

void OutputFile::RemoveLeftovers(const QString& target) {
    const QFileInfo info(target);
    const QString prefix = QStringLiteral(".%1.").arg(info.fileName());
    const QDir dir = info.absoluteDir();
    const auto isNameChar = [](QChar c) {
        return c.isDigit() || (c.isLetter() && c.unicode() < 128);
    };
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const QString tail = name.mid(prefix.size());
        if (!name.startsWith(prefix) || tail.size() != 6 ||
            !std::all_of(tail.begin(), tail.end(), isNameChar))
            continue;
        Catalogue::RemoveIfAbandoned(dir.filePath(name));
    }
}

bool OutputFile::Open(const QString& target, QString* error) {
    target_ = target;
    RemoveLeftovers(target);
    // Another export cleaning up may take the new file for a leftover before it is locked:
    // a file that lost its name meanwhile is made again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        // The lock lives on a descriptor of its own, so that it holds until the file is
        // published or removed, after the one written through is closed.
        lock_ = Catalogue::CreateLockedTempBeside(target, &tempPath_, error);
        if (lock_ < 0)
            return false;
        fd_ = ::open(QFile::encodeName(tempPath_).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        struct stat info {};
        if (fd_ < 0 || ::fstat(lock_, &info) != 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        if (info.st_nlink > 0)
            break;
        ::close(std::exchange(fd_, -1));
        ::close(std::exchange(lock_, -1));
        tempPath_.clear();
    }
    if (fd_ < 0) {
        *error = QStringLiteral("another program kept removing its temporary file");
        return false;
    }
    buffer_.reserve(kBufferBytes);
    return true;
}

bool OutputFile::Write(QByteArrayView bytes) {
    if (!writeError_.isEmpty())
        return false;
    buffer_.append(bytes);
    return buffer_.size() < kBufferBytes || Flush();
}

bool OutputFile::Flush() {
    if (stopSignal != 0) {
        writeError_ = QStringLiteral("interrupted; nothing was written");
        return false;
    }
    const char* data = buffer_.constData();
    qsizetype left = buffer_.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0) {
            writeError_ = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
        data += written;
        left -= written;
    }
    // resize keeps the allocation, where clear would give it back and fault in fresh
    // pages for the next megabyte.
    buffer_.resize(0);
    return true;
}

bool OutputFile::Publish(bool replace, QString* error) {
    if (!Flush()) {
        *error = writeError_;
        return false;
    }
    // close() is where some file systems report a full disk.
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    const bool published = replace ? Catalogue::PublishReplacing(tempPath_, target_, error)
                                   : Catalogue::PublishNoClobber(tempPath_, target_, error);
    if (published)
        tempPath_.clear();
    return published;
}
