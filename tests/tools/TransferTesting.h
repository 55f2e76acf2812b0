#pragma once

#include "support/RunProgram.h"
#include "support/TempCatalogue.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QFile>
#include <QStringList>

#include <sqlite3.h>

// What the export and merge tests share: files, and reading a catalogue back value by
// value, each with its kind, so NULL and "" stay apart.
namespace TransferTesting {

inline QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool WriteAll(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

// Every value of both tables in key order and the two counters: "N" for no value,
// "I<n>" for an integer, "T<bytes>" for text.
inline QByteArrayList Dump(const QString& path) {
    QByteArrayList values;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(db);
        return {"cannot open"};
    }
    for (const char* sql :
         {"SELECT * FROM Web ORDER BY WebIndex", "SELECT * FROM Content ORDER BY ContentIndex",
          "SELECT name, seq FROM sqlite_sequence ORDER BY name"}) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const int type = sqlite3_column_type(st, c);
                if (type == SQLITE_NULL)
                    values << "N";
                else if (type == SQLITE_INTEGER)
                    values << "I" + QByteArray::number(sqlite3_column_int64(st, c));
                else
                    values << "T" + QByteArray(static_cast<const char*>(sqlite3_column_blob(st, c)),
                                               sqlite3_column_bytes(st, c));
            }
            values << "/";
        }
        sqlite3_finalize(st);
        values << "//";
    }
    sqlite3_close(db);
    return values;
}

// Sites with every kind of text a catalogue holds: no value, empty, CR LF, a lone CR,
// emoji, control characters and NUL, 1 MB; an orphan paragraph, one of a deleted site,
// counters past the highest keys, and a table of another helper's that is no concern of
// the export's.
inline bool FillRich(TempCatalogue& catalogue) {
    QStringList columns = Catalogue::WebTextColumns();
    QString marks = QStringLiteral("?");
    QVariantList all{QStringLiteral("网站 \"一\" & <b>")};
    for (int c = 1; c < columns.size(); ++c) {
        marks += QStringLiteral(", ?");
        all << QStringLiteral("%1 值 %2").arg(columns[c]).arg(c);
    }
    all[2] = QStringLiteral("=HYPERLINK(\"x\")");
    all[3] = QStringLiteral("+1");
    all[4] = QStringLiteral("-2, \"quoted\"");
    all[5] = QStringLiteral("@home\r\nsecond line");
    all[10] = QStringLiteral("\tTab");
    all[18] = QStringLiteral("javascript:alert(1)");
    all[19] = QStringLiteral("sub.example.com/path?a=1&b=2");
    const QString insert = QStringLiteral("INSERT INTO Web (%1) VALUES (%2)")
                               .arg(columns.join(QStringLiteral(", ")), marks);
    QVariantList empty;
    for (int c = 0; c < columns.size(); ++c)
        empty << QString(QLatin1String(""));
    const QString big = QString(1 << 20, QLatin1Char('x'));
    return catalogue.Exec(insert, all) && catalogue.AddSite(QStringLiteral("only a name")) > 0 &&
           catalogue.Exec(insert, empty) && catalogue.AddSite(QStringLiteral("deleted")) == 4 &&
           catalogue.AddParagraph(1, QStringLiteral("line1\r\nline2")) > 0 &&
           catalogue.AddParagraph(0, QStringLiteral("orphan")) > 0 &&
           catalogue.AddParagraph(1, QStringLiteral("lone\rCR 😀👍🏽")) > 0 &&
           catalogue.AddParagraph(4, QStringLiteral("of a deleted site")) > 0 &&
           catalogue.AddParagraph(3, QString(QLatin1String(""))) > 0 &&
           catalogue.AddParagraph(1, QStringLiteral("ctl \x01 nul ") + QChar(0) + "\\ end") > 0 &&
           catalogue.AddParagraph(3, big) > 0 &&
           catalogue.Exec(QStringLiteral("INSERT INTO Content (ContentWeb, ContentTxt) VALUES "
                                         "(1, NULL), (2, NULL)")) &&
           catalogue.Exec(QStringLiteral("DELETE FROM Web WHERE WebIndex = 4")) &&
           catalogue.Exec(QStringLiteral("INSERT INTO Web (WebName) VALUES ('gone')")) &&
           catalogue.Exec(QStringLiteral("DELETE FROM Web WHERE WebIndex = 5")) &&
           catalogue.Exec(QStringLiteral("CREATE TABLE Pending (Txt TEXT)")) &&
           catalogue.Exec(QStringLiteral("INSERT INTO Pending VALUES ('not exported')"));
}

} // namespace TransferTesting
