#include "PublicFunction.h"

#include "Query.h"

#include <utility>

bool OpenQuery(Query& query, const QString& statement, const QString& message, Dialogs& dialogs,
               const QVariantList& parameters) {
    query.Close();
    query.ClearSql();
    query.SetSql(statement, parameters);
    if (query.Open(nullptr))
        return true;
    query.Close();
    Connection* connection = query.GetConnection();
    dialogs.Information(connection ? connection->WithDamageNotice(message) : message);
    return false;
}

bool WriteAction::Begin() {
    open_ = connection_.Begin(nullptr);
    if (!open_) {
        held_.Information(connection_.WithDamageNotice(kOpenFailure));
        End();
    }
    return open_;
}

bool WriteAction::Post(Query& query) {
    QString error;
    if (query.Post(&error))
        return true;
    query.Cancel();
    held_.ErrorReport(error);
    return false;
}

bool WriteAction::Commit() {
    QString error;
    if (open_ && connection_.Commit(&error)) {
        open_ = false;
        End();
        return true;
    }
    if (open_)
        held_.ErrorReport(error);
    End();
    return false;
}

void WriteAction::End() {
    if (open_)
        connection_.Rollback();
    open_ = false;
    held_.Show();
}

void WriteAction::Held::Show() {
    const QList<Message> messages = std::exchange(held_, {});
    for (const Message& message : messages) {
        if (message.error)
            shown_.ErrorReport(message.text);
        else
            shown_.Information(message.text);
    }
}
