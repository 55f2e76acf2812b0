#pragma once

#include "BenchSupport.h"

#include <QSize>
#include <QString>
#include <QStringList>

// Times the program as a user meets it: a real process started on an X server, from
// the moment it is started until its main window is on the screen with its final
// picture. The window is found and watched from outside, through the X server, so
// nothing in the program itself is timed or changed.

// A private X server (Xvfb) on a free display, for as long as this object lives.
class PrivateDisplay {
public:
    PrivateDisplay();

    bool Running() const { return !name_.isEmpty(); }
    QString Name() const { return name_; }
    QString Error() const { return error_; }

private:
    Child server_;
    QString name_;
    QString error_;
};

struct StartTiming {
    // From the start of the process to its main window being mapped.
    double mappedMs = 0;
    // ...and to the window showing the picture it keeps from then on: list, footer and
    // pane painted.
    double paintedMs = 0;
    // The process's peak resident memory.
    long peakMb = 0;
    // How long it held the key derivation's memory before its window was mapped, which is
    // how long the derivation took; 0 when it derived no key.
    double derivationMs = 0;
};

// Starts `command` (the program and its arguments) as `options` say, on `display`, waits
// for its window of `size` to be mapped and its picture to stay the same for a while, then
// ends the process. False, with `error` set, when that does not happen.
bool TimeStart(const QStringList& command, ChildOptions options, const QString& display, QSize size,
               StartTiming* timing, QString* error);
