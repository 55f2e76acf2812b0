#include "OutputFile.h"
#include "Sqlite.h"
#include "Transfer.h"
#include "Writers.h"

#include <QList>
#include <QString>

namespace Export {

namespace {

// Text and attribute values escaped so that no name or address can end its element or
// its quotes early.
QByteArray Escaped(const QString& text) {
    QByteArray html;
    const QByteArray utf8 = text.toUtf8();
    html.reserve(utf8.size());
    for (const char c : utf8) {
        switch (c) {
        case '&':
            html += "&amp;";
            break;
        case '<':
            html += "&lt;";
            break;
        case '>':
            html += "&gt;";
            break;
        case '"':
            html += "&quot;";
            break;
        default:
            html += c;
        }
    }
    return html;
}

// The text without control characters other than tab and line breaks: a browser's parser
// and libxml2 drop them or, for NUL, stop reading the file there, and no escape brings
// them back. Everything else, U+FEFF included, is written as it is.
QString WithoutControls(const QString& text) {
    QString kept = text;
    kept.removeIf(
        [](QChar c) { return c.unicode() < 0x20 && c != u'\t' && c != u'\n' && c != u'\r'; });
    return kept;
}

// The stored text of a column as the file gets it.
QString Column(const Sqlite::Statement& statement, int column) {
    return WithoutControls(Transfer::FromUtf8(statement.View(column)));
}

struct Bookmark {
    QString title;
    QString address;
};

} // namespace

bool WriteBookmarks(sqlite3* db, OutputFile& out, Counts* counts, QString* error) {
    // The header browsers look for before they accept a file as bookmarks.
    QByteArray html = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
                      "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
                      "<TITLE>Bookmarks</TITLE>\n"
                      "<H1>Bookmarks</H1>\n"
                      "<DL><p>\n";
    QByteArray sql = "SELECT WebName, WebUrl";
    for (int n = 1; n <= 8; ++n)
        sql += QStringLiteral(", WebSonName%1, WebSonPage%1").arg(n).toLatin1();
    sql += " FROM Web ORDER BY WebIndex";
    Sqlite::Statement sites(db, sql.constData());
    QList<Bookmark> bookmarks;
    while (sites.Next()) {
        bookmarks.clear();
        const QString name = Column(sites, 0).trimmed();
        for (int n = 0; n <= 8; ++n) {
            const QString typed = Column(sites, 2 * n + 1);
            const QString address = Transfer::BrowserAddress(typed);
            if (address.isEmpty()) {
                counts->leftOut += typed.trimmed().isEmpty() ? 0 : 1;
                continue;
            }
            const QString title = n == 0 ? name : Column(sites, 2 * n).trimmed();
            bookmarks.append({title.isEmpty() ? address : title, address});
        }
        if (bookmarks.isEmpty())
            continue;
        html += "    <DT><H3>" + Escaped(name.isEmpty() ? bookmarks[0].address : name) +
                "</H3>\n    <DL><p>\n";
        for (const Bookmark& bookmark : bookmarks)
            html += "        <DT><A HREF=\"" + Escaped(bookmark.address) + "\">" +
                    Escaped(bookmark.title) + "</A>\n";
        html += "    </DL><p>\n";
        if (!out.Write(html)) {
            *error = out.WriteError();
            return false;
        }
        html.clear();
        ++counts->sites;
    }
    if (sites.Failed()) {
        *error = Sqlite::LastError(db);
        return false;
    }
    html += "</DL><p>\n";
    if (!out.Write(html)) {
        *error = out.WriteError();
        return false;
    }
    return true;
}

} // namespace Export
