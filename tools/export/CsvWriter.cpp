#include "Catalogue.h"
#include "OutputFile.h"
#include "Transfer.h"
#include "Writers.h"

#include <sqlite3.h>

namespace Export {

namespace {

// A spreadsheet runs a cell that starts with one of these as a formula (a tab or CR can
// hide the sign in front of one); a leading apostrophe makes it plain text.
bool LooksLikeFormula(QByteArrayView text) {
    return !text.isEmpty() && QByteArrayView("=+-@\t\r").contains(text.front());
}

void AppendCell(QByteArray& line, QByteArrayView text) {
    line += ",\"";
    if (LooksLikeFormula(text))
        line += '\'';
    // A spreadsheet would show broken bytes as it likes; make them visible replacement
    // characters instead.
    const QByteArray repaired =
        text.isValidUtf8() ? QByteArray() : QString::fromUtf8(text).toUtf8();
    const QByteArrayView valid = repaired.isNull() ? text : QByteArrayView(repaired);
    // Quotes are doubled; everything between them is copied in one piece.
    qsizetype from = 0;
    for (qsizetype quote = valid.indexOf('"'); quote >= 0; quote = valid.indexOf('"', from)) {
        line += valid.sliced(from, quote + 1 - from);
        line += '"';
        from = quote + 1;
    }
    line += valid.sliced(from);
    line += '"';
}

} // namespace

bool WriteCsv(sqlite3* db, OutputFile& out, Counts* counts, QString* error) {
    // The byte order mark is how spreadsheet programs tell UTF-8 from the local code page.
    QByteArray line = "\xEF\xBB\xBF"
                      "WebIndex";
    QByteArray webSql = "SELECT WebIndex";
    for (const QString& column : Catalogue::WebTextColumns()) {
        line += ',' + column.toLatin1();
        webSql += ", " + column.toLatin1();
    }
    line += ",ContentTxt\r\n";
    webSql += " FROM Web ORDER BY WebIndex";
    const int textColumns = int(Catalogue::WebTextColumns().size());

    // Both results come in site order, so each site's paragraphs are read by walking the
    // second alongside the first: one pass over each table, whatever the number of sites.
    // The paragraphs are read in file order and sorted ("+" keeps SQLite from following
    // the index instead): a site's paragraphs lie scattered over the file, and fetching
    // them row by row in the index's order takes twice as long.
    Transfer::Statement sites(db, webSql.constData());
    Transfer::Statement paragraphs(db, "SELECT ContentWeb, ContentTxt FROM Content WHERE "
                                       "+ContentWeb > 0 ORDER BY +ContentWeb, ContentIndex");
    bool paragraphWaiting = paragraphs.Next();
    QByteArray joined;
    while (sites.Next()) {
        const qint64 site = sqlite3_column_int64(sites.Get(), 0);
        line += QByteArray::number(site);
        for (int c = 1; c <= textColumns; ++c)
            AppendCell(line, sites.View(c));
        joined.clear();
        int ofSite = 0;
        // Paragraphs of sites that no longer exist sort before the next site and are passed.
        while (paragraphWaiting && sqlite3_column_int64(paragraphs.Get(), 0) <= site) {
            if (sqlite3_column_int64(paragraphs.Get(), 0) == site) {
                if (ofSite++ > 0)
                    joined += "\n\n";
                joined += paragraphs.View(1);
                ++counts->paragraphs;
            }
            paragraphWaiting = paragraphs.Next();
        }
        AppendCell(line, joined);
        line += "\r\n";
        if (!out.Write(line)) {
            *error = out.WriteError();
            return false;
        }
        line.clear();
        ++counts->sites;
    }
    if (sites.Failed() || paragraphs.Failed()) {
        *error = Transfer::LastError(db);
        return false;
    }
    // The header alone when there are no sites.
    if (!out.Write(line)) {
        *error = out.WriteError();
        return false;
    }
    return true;
}

} // namespace Export
