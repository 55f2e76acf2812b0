#pragma once

#include <QString>

// What a result's shape and its row writer both put into SQL.
namespace QuerySql {

// `identifier` as a quoted SQL name, whatever characters it holds.
QString Quoted(const QString& identifier);

} // namespace QuerySql
