#include "WaitCursor.h"

#include "Connection.h"

#include <QCursor>
#include <QGuiApplication>

void ShowWaitCursorWhileWaiting(Connection& connection, QObject* owner) {
    QObject::connect(&connection, &Connection::WaitStarted, owner, [] {
        QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
        // The wait blocks the event loop, which would otherwise send the new cursor to
        // the display only once the wait is over.
        QGuiApplication::sync();
    });
    QObject::connect(&connection, &Connection::WaitFinished, owner,
                     [] { QGuiApplication::restoreOverrideCursor(); });
}
