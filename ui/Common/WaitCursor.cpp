#include "WaitCursor.h"

#include "Connection.h"

#include <QCursor>
#include <QGuiApplication>

// The cursor reaches the display at once: the platform sends a window's new cursor as
// soon as it is set. Nothing here may process events, since the statement that waits is
// still running inside SQLite.
void ShowWaitCursorWhileWaiting(Connection& connection, QObject* owner) {
    QObject::connect(&connection, &Connection::WaitStarted, owner,
                     [] { QGuiApplication::setOverrideCursor(QCursor(Qt::WaitCursor)); });
    QObject::connect(&connection, &Connection::WaitFinished, owner,
                     [] { QGuiApplication::restoreOverrideCursor(); });
}
