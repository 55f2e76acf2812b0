#pragma once

#include <QString>

#include <cerrno>
#include <cstring>

// How a failure is put into words wherever a function reports it through a QString*.

// What the system said of the last failed call, or of `code`.
inline QString SystemError(int code = errno) {
    return QString::fromLocal8Bit(std::strerror(code));
}

// Says `text` through `error`, when the caller asked, and returns false for the caller
// to pass on.
inline bool Fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return false;
}
