#pragma once

#include <QString>
#include <QVariant>

struct sqlite3;
struct sqlite3_stmt;

// The pieces of SQLite that a result and its row writer both use.
namespace QuerySql {

// One prepared statement, finalized when it goes. A text holding more than one statement
// is refused: the rest would be silently ignored.
class Statement {
public:
    Statement(sqlite3* db, const QString& sql, QString* error);
    ~Statement();
    Statement(Statement&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    sqlite3_stmt* handle_ = nullptr;
};

// Binds `value` to parameter `position` (from 1) as the column type its Qt type suggests.
bool Bind(sqlite3_stmt* statement, int position, const QVariant& value);
QString Quoted(const QString& identifier);
QString ErrorOf(sqlite3* db);

} // namespace QuerySql
