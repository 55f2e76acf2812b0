#pragma once

#include "Backup.h"
#include "support/TempCatalogue.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <sqlite3.h>

// What the backup tests share: reading a file's rows with a handle of their own, and
// catalogues filled and backed up.

// Every row a statement gives, every column as text with NULL told apart.
inline QStringList Rows(const QString& path, const QByteArray& sql) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    QStringList rows;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &st, nullptr) == SQLITE_OK)
        while (sqlite3_step(st) == SQLITE_ROW) {
            QStringList cells;
            for (int c = 0; c < sqlite3_column_count(st); ++c)
                cells << (sqlite3_column_type(st, c) == SQLITE_NULL
                              ? QStringLiteral("<null>")
                              : QString::fromUtf8(
                                    reinterpret_cast<const char*>(sqlite3_column_text(st, c))));
            rows << cells.join(QLatin1Char('|'));
        }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

inline QStringList Contents(const QString& path) {
    return Rows(path, "SELECT * FROM Web ORDER BY 1") +
           Rows(path, "SELECT * FROM Content ORDER BY 1") +
           Rows(path, "SELECT * FROM sqlite_sequence ORDER BY 1");
}

inline QStringList Listing(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

inline Backup::Result MakeNow(const QString& catalogue, bool onlyIfChanged = true,
                              QString* error = nullptr, int keep = Backup::kDefaultKeep) {
    Backup::Options options;
    options.onlyIfChanged = onlyIfChanged;
    options.keep = keep;
    return Backup::Make(catalogue, options, nullptr, error);
}

// A site with its paragraphs in every kind of text, and as many pages as the test needs
// the copy to span.
inline void Fill(TempCatalogue& catalogue, int paragraphs = 3) {
    const qint64 site = catalogue.AddSite(QStringLiteral("网站一"), QStringLiteral("http://a.cn/"));
    catalogue.AddSite(QStringLiteral("Second"));
    // One statement: a commit per paragraph would cost a flush to disk each.
    catalogue.Exec(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                  "WHERE i < ?) INSERT INTO Content (ContentWeb, ContentTxt) "
                                  "SELECT ?, '第' || i || '段 😀' || char(13, 10) || "
                                  "printf('%.900c', 'x') FROM n"),
                   {paragraphs, site});
}

// A filled catalogue with one backup; returns the backup's name.
inline QString FilledAndBackedUp(TempCatalogue& catalogue, QStringList* contents) {
    Fill(catalogue);
    if (!catalogue.IsValid() || MakeNow(catalogue.Path()) != Backup::Result::Written)
        return {};
    *contents = Contents(catalogue.Path());
    return Backup::List(catalogue.Path()).first().name;
}
