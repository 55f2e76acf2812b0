#pragma once

#include <QString>

#include <cerrno>
#include <cstring>
#include <sqlite3.h>

// How the parts of the backups put a failure into words.
namespace Backup {

inline QString SystemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

inline QString ErrorOf(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

inline bool Fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}

} // namespace Backup
