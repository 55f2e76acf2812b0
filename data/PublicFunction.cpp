#include "PublicFunction.h"

#include "Dialogs.h"
#include "Query.h"

bool OpenQuery(Query& query, const QString& statement, const QString& message, Dialogs& dialogs,
               const QVariantList& parameters) {
    query.Close();
    query.ClearSql();
    query.SetSql(statement, parameters);
    if (query.Open(nullptr))
        return true;
    query.Close();
    dialogs.Information(message);
    return false;
}
