#include "OutputFile.h"

#include "Catalogue.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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
}

bool OutputFile::Open(const QString& target, QString* error) {
    target_ = target;
    if (!Catalogue::CreateTempBeside(target, &tempPath_, error))
        return false;
    fd_ = ::open(QFile::encodeName(tempPath_).constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd_ < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
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
