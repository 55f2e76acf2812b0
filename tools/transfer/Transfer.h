#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// What the export and the merge both know: the names that identify the JSON format, which
// addresses a browser takes as pages, and a prepared statement that finalizes itself.
namespace Transfer {

// The first two members of every JSON export. A reader refuses a higher version: it
// would not know what the newer fields mean and could lose them.
inline constexpr const char* kJsonFormatName = "sitemora-catalogue";
inline constexpr int kJsonFormatVersion = 1;

// http, https, ftp and file: what a browser opens as a page. Other schemes (javascript:,
// data:, place:) run code or mean something only to the program that wrote them.
bool IsPageScheme(const QString& scheme);

// The address a browser is given for a site's address as the user typed it: the one the
// program itself opens (Address::ForOpening); empty when the text is blank or names a
// scheme that is not a page's.
QString BrowserAddress(const QString& typed);

// UTF-8 as text with every character kept: QString::fromUtf8 drops a U+FEFF at the start,
// which at the start of a name or an address is the user's own character.
QString FromUtf8(QByteArrayView utf8);

// A prepared statement that is finalized however the caller leaves.
class Statement {
public:
    Statement(sqlite3* db, const char* sql);
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
    // Bind 1-based parameter `index`: BindText binds no value for a null array, else the
    // bytes as text. A bind that fails (a text over SQLite's length limit, say) makes the
    // next Run or Next fail without stepping, so a row is never stored with a value left
    // out; SQLite's message then says why.
    bool BindText(int index, const QByteArray& utf8);
    bool BindInteger(int index, qint64 value);
    bool BindNull(int index);
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

// Runs statements without results; on failure `*error` holds SQLite's message.
bool Exec(sqlite3* db, const char* sql, QString* error);

// SQLite's last message on `db`.
QString LastError(sqlite3* db);

} // namespace Transfer
