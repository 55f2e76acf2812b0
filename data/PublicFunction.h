#pragma once

#include "Connection.h"
#include "Dialogs.h"

#include <QList>
#include <QString>
#include <QVariantList>

class Query;

inline const QString kOpenFailure = QStringLiteral("数据库打开失败");

// The one way every statement is run. On failure the message is shown once, the query
// is left closed, and false tells the caller to skip the rest of its action.
bool OpenQuery(Query& query, const QString& statement, const QString& message, Dialogs& dialogs,
               const QVariantList& parameters = {});

// One change that reaches the file whole or not at all. While it holds the write lock it
// shows nothing: what it has to say through Messages() waits until the change is
// committed or rolled back, so a box waiting for the user never keeps another running
// copy from storing.
class WriteAction {
public:
    WriteAction(Connection& connection, Dialogs& dialogs)
        : connection_(connection), held_(dialogs) {}
    ~WriteAction() { End(); }
    WriteAction(const WriteAction&) = delete;
    WriteAction& operator=(const WriteAction&) = delete;

    // Takes the write lock; false after showing the open failure message.
    bool Begin();
    // Stores the row `query` is editing or inserting; when the database refuses it, the
    // edit is dropped and the database's text is held for showing.
    bool Post(Query& query);
    // False after the database's text is shown; nothing of the change is then stored.
    bool Commit();
    // Rolls back whatever is not committed, then shows what was held.
    void End();

    // For the action's statements and its own reports. It cannot ask anything: a
    // question would have to wait for the user with the file locked, so it answers No.
    Dialogs& Messages() { return held_; }

private:
    class Held : public Dialogs {
    public:
        explicit Held(Dialogs& shown) : shown_(shown) {}
        void Information(const QString& text) override { held_.append({false, text}); }
        bool Confirm(const QString&, const QString&) override { return false; }
        void ErrorReport(const QString& text) override { held_.append({true, text}); }
        void Show();

    private:
        struct Message {
            bool error;
            QString text;
        };
        Dialogs& shown_;
        QList<Message> held_;
    };

    Connection& connection_;
    Held held_;
    bool open_ = false;
};
