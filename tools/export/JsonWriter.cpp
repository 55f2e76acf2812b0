#include "Catalogue.h"
#include "OutputFile.h"
#include "Sqlite.h"
#include "Transfer.h"
#include "Writers.h"

#include <sqlite3.h>

namespace Export {

namespace {

// Appends `text` as a JSON string. The bytes are already UTF-8; only the quote, the
// backslash and control characters need escapes, so everything else is copied as is.
void AppendString(QByteArray& json, QByteArrayView text) {
    static const char hex[] = "0123456789abcdef";
    json += '"';
    qsizetype plainFrom = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        json += text.sliced(plainFrom, i - plainFrom);
        plainFrom = i + 1;
        switch (c) {
        case '"':
            json += "\\\"";
            break;
        case '\\':
            json += "\\\\";
            break;
        case '\n':
            json += "\\n";
            break;
        case '\r':
            json += "\\r";
            break;
        case '\t':
            json += "\\t";
            break;
        default:
            json += "\\u00";
            json += hex[c >> 4];
            json += hex[c & 15];
        }
    }
    json += text.sliced(plainFrom);
    json += '"';
}

// Appends one column of the current row: a number, a string or null, exactly as stored.
// Anything the program never writes there (a blob, bytes that are not UTF-8) cannot be
// carried over exactly, so it stops the export instead of being changed silently.
bool AppendValue(QByteArray& json, const Sqlite::Statement& row, int column, bool integer) {
    const int type = row.Type(column);
    if (type == SQLITE_NULL) {
        json += "null";
        return true;
    }
    if (integer) {
        if (type != SQLITE_INTEGER)
            return false;
        json += QByteArray::number(row.Integer(column));
        return true;
    }
    if (type != SQLITE_TEXT)
        return false;
    const QByteArrayView text = row.View(column);
    if (!text.isValidUtf8())
        return false;
    AppendString(json, text);
    return true;
}

// Writes the rows of `sql` as objects, one per line; column 0 is the key.
bool WriteTable(sqlite3* db, OutputFile& out, const char* sql, const QList<QByteArray>& names,
                int integerColumns, qint64* rows, QString* error) {
    Sqlite::Statement table(db, sql);
    QList<QByteArray> prefixes;
    for (const QByteArray& name : names)
        prefixes << (prefixes.isEmpty() ? "{\"" : ", \"") + name + "\": ";
    QByteArray line;
    while (table.Next()) {
        line.resize(0);
        line += *rows == 0 ? "\n  " : ",\n  ";
        for (int c = 0; c < names.size(); ++c) {
            line += prefixes[c];
            if (!AppendValue(line, table, c, c < integerColumns)) {
                *error = QStringLiteral("cannot export exactly: %1 %2, column %3 holds %4")
                             .arg(QString::fromLatin1(names[0]))
                             .arg(table.Integer(0))
                             .arg(QString::fromLatin1(names[c]),
                                  c < integerColumns
                                      ? QStringLiteral("something other than a whole number")
                                      : QStringLiteral("bytes that are not UTF-8 text"));
                return false;
            }
        }
        line += '}';
        if (!out.Write(line)) {
            *error = out.WriteError();
            return false;
        }
        ++*rows;
    }
    if (table.Failed()) {
        *error = Sqlite::LastError(db);
        return false;
    }
    return true;
}

} // namespace

bool WriteJson(sqlite3* db, OutputFile& out, Counts* counts, QString* error) {
    QList<QByteArray> webNames{"WebIndex"};
    QByteArray webSql = "SELECT WebIndex";
    for (const QString& column : Catalogue::WebTextColumns()) {
        webNames << column.toLatin1();
        webSql += ", " + column.toLatin1();
    }
    webSql += " FROM Web ORDER BY WebIndex";
    const QByteArray webCounter = Sqlite::ReadCounter(db, "Web", error);
    const QByteArray contentCounter = Sqlite::ReadCounter(db, "Content", error);
    if (webCounter.isNull() || contentCounter.isNull())
        return false;
    const QByteArray head = QByteArray("{\"format\": \"") + Transfer::kJsonFormatName +
                            "\", \"version\": " + QByteArray::number(Transfer::kJsonFormatVersion) +
                            ",\n \"counters\": {\"Web\": " + webCounter +
                            ", \"Content\": " + contentCounter + "},\n \"Web\": [";
    if (!out.Write(head) ||
        !WriteTable(db, out, webSql.constData(), webNames, 1, &counts->sites, error) ||
        !out.Write("\n ],\n \"Content\": [") ||
        !WriteTable(db, out,
                    "SELECT ContentIndex, ContentWeb, ContentTxt FROM Content ORDER BY "
                    "ContentIndex",
                    {"ContentIndex", "ContentWeb", "ContentTxt"}, 2, &counts->paragraphs, error) ||
        !out.Write("\n ]\n}\n")) {
        if (error->isEmpty())
            *error = out.WriteError();
        return false;
    }
    return true;
}

} // namespace Export
