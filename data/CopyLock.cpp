#include "CopyLock.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// More running copies than this on one catalogue is not a real use.
constexpr int kMaxCopies = 4096;

struct flock ByteOf(int id) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = id;
    lock.l_len = 1;
    return lock;
}

} // namespace

CopyLock::~CopyLock() {
    Release();
}

void CopyLock::Release() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    id_ = 0;
    path_.clear();
}

int CopyLock::Acquire(const QString& path) {
    if (fd_ >= 0 && path == path_)
        return id_;
    Release();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    for (int id = 1; id <= kMaxCopies; ++id) {
        struct flock lock = ByteOf(id);
        if (::fcntl(fd, F_OFD_SETLK, &lock) == 0) {
            fd_ = fd;
            id_ = id;
            path_ = path;
            return id_;
        }
        // Anything but "held by another copy" means this file system cannot lock.
        if (errno != EAGAIN && errno != EACCES)
            break;
    }
    ::close(fd);
    return 0;
}

bool CopyLock::Running(int id) const {
    if (id <= 0)
        return false;
    if (id == id_)
        return true;
    struct flock lock = ByteOf(id);
    if (fd_ < 0 || ::fcntl(fd_, F_OFD_GETLK, &lock) != 0)
        return true;
    return lock.l_type != F_UNLCK;
}

bool CopyLock::AnyRunning(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno != ENOENT;
    struct flock lock = ByteOf(1);
    lock.l_len = kMaxCopies;
    const bool running = ::fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
    ::close(fd);
    return running;
}

QString CopyLock::PathFor(const QString& catalogue) {
    return QFileInfo(catalogue).absoluteFilePath() + QStringLiteral("-copies");
}
