#pragma once

#include <QString>
#include <QVariantList>

class Dialogs;
class Query;

inline const QString kOpenFailure = QStringLiteral("数据库打开失败");

// The one way every statement is run. On failure the message is shown once, the query
// is left closed, and false tells the caller to skip the rest of its action.
bool OpenQuery(Query& query, const QString& statement, const QString& message, Dialogs& dialogs,
               const QVariantList& parameters = {});
