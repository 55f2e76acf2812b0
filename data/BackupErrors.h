#pragma once

#include "Failure.h"

#include <QString>

#include <cerrno>
#include <cstring>
// Directly: the online backup API's codes and the file's last system error.
#include <sqlite3.h>

// How the parts of the backups put a failure into words.
namespace Backup {

// Why a step of SQLite's online backup into `dest` failed. The step puts its failure on
// no connection (`dest` gets it only from sqlite3_backup_finish), so its code is put into
// words here, with what the system said of the last write to `dest` that failed.
inline QString StepError(sqlite3* dest, int rc) {
    if ((rc & 0xff) == SQLITE_FULL)
        return QStringLiteral("no space left on the device");
    int code = 0;
    if ((rc & 0xff) == SQLITE_IOERR &&
        sqlite3_file_control(dest, "main", SQLITE_FCNTL_LAST_ERRNO, &code) == SQLITE_OK &&
        code != 0)
        return QString::fromLocal8Bit(std::strerror(code));
    return QString::fromUtf8(sqlite3_errstr(rc));
}

} // namespace Backup
