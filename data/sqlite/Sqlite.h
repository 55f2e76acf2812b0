#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVariant>

struct sqlite3;
struct sqlite3_stmt;

// The one way into SQLite for the program and its tools: opening a file, statements whose
// binds and steps are checked, running plain SQL, transactions, and the key counters.
namespace Sqlite {

// How long a statement waits for another running copy to release the file.
inline constexpr int kBusyTimeoutMs = 5000;

// An open database, closed when it goes.
class Database {
public:
    Database() = default;
    ~Database();
    Database(Database&& other) noexcept : db_(other.Release()) {}
    Database& operator=(Database&& other) noexcept;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens `path` with SQLite's open `flags`, with extended result codes, waiting up to
    // `busyTimeoutMs` for a lock when that is above 0. On failure the handle is closed
    // again, `*error` (when given) says why and the result is SQLite's code.
    // An encrypted file gets its key (see Cipher::Unlock) before anything is read.
    int Open(const QString& path, int flags, QString* error, int busyTimeoutMs = 0);
    // The same without the key: for looking at the file's header only.
    int OpenUnkeyed(const QString& path, int flags, QString* error, int busyTimeoutMs = 0);
    sqlite3* Get() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }
    // Hands the handle over; the caller closes it.
    sqlite3* Release();
    // The result of closing: a handle with statements still open is not closed.
    int Close();

private:
    sqlite3* db_ = nullptr;
};

// A prepared statement that is finalized however the caller leaves.
class Statement {
public:
    Statement(sqlite3* db, const char* sql);
    // A text the user wrote: one statement only, since the rest would be silently ignored.
    // When it does not prepare, `*error` says why.
    Statement(sqlite3* db, const QString& sql, QString* error);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool IsValid() const { return stmt_ != nullptr; }
    sqlite3_stmt* Get() const { return stmt_; }
    // Steps once: true when a row is there; false at the end or on a failure, which
    // Failed() then tells apart.
    bool Next();
    bool Failed() const { return failed_; }
    // Steps an insert or update through to its end and resets it for the next binding.
    bool Run();
    // Back to before the first step, for the next binding; a past failure is forgotten.
    void Reset();
    // Bind 1-based parameter `index`: BindText binds no value for a null array, else the
    // bytes as text. A bind that fails (a text over SQLite's length limit, say) makes the
    // next Run or Next fail without stepping, so a row is never stored with a value left
    // out; SQLite's message then says why.
    bool BindText(int index, const QByteArray& utf8);
    bool BindInteger(int index, qint64 value);
    bool BindNull(int index);
    // Binds `value` as the column type its Qt type suggests.
    bool Bind(int index, const QVariant& value);
    // Whether stepping it leaves the database as it was.
    bool ReadOnly() const;
    // SQLite's own type of a column of the current row: SQLITE_NULL, SQLITE_TEXT...
    int Type(int column) const;
    bool IsNull(int column) const;
    qint64 Integer(int column) const;
    // A text column as its stored bytes; a null array when the column holds no value.
    QByteArray Text(int column) const;
    // The same bytes without a copy, valid until the next step; empty for no value.
    QByteArrayView View(int column) const;

private:
    bool Bound(int rc);

    sqlite3_stmt* stmt_ = nullptr;
    bool failed_ = false;
    // A bind failed since the last step.
    bool unbound_ = false;
};

// Runs statements without results; on failure `*error` (when given) holds SQLite's message.
bool Exec(sqlite3* db, const char* sql, QString* error);
bool Exec(sqlite3* db, const QString& sql, QString* error);

// The key of the row `db` inserted last.
qint64 LastInsertKey(sqlite3* db);

// SQLite's last message on `db`, and its extended result code.
QString LastError(sqlite3* db);
int LastCode(sqlite3* db);

// Whether a transaction is open on `db`.
bool InTransaction(sqlite3* db);

// Begins on Begin and rolls back on destruction unless Commit was reached.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    // `begin` is the statement that opens it: "BEGIN IMMEDIATE" takes the write lock first.
    bool Begin(QString* error, const char* begin = "BEGIN");
    bool Commit(QString* error);

private:
    sqlite3* db_;
    bool open_ = false;
};

// The last key the AUTOINCREMENT counter of `table` handed out, as its decimal digits: "0"
// when it has handed out none, a null array on a failure (`*error` says why).
QByteArray ReadCounter(sqlite3* db, const char* table, QString* error);

// Keeps the counter of `table` at `last` or above, so that keys up to `last` are never
// handed out (again). A counter is never lowered; a database made without AUTOINCREMENT
// keeps no counters, and there is nothing to do.
bool RaiseCounter(sqlite3* db, const char* table, qint64 last, QString* error);

} // namespace Sqlite
