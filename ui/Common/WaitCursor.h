#pragma once

class Connection;
class QObject;

// Shows the busy cursor over the whole program while a statement on `connection` waits
// for another running copy to release the file, and takes it away when the statement
// ends. The link lasts as long as `owner`.
void ShowWaitCursorWhileWaiting(Connection& connection, QObject* owner);
