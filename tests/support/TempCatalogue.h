#pragma once

#include "Catalogue.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>
#include <QVariantList>

#include <sqlite3.h>

// A catalogue file in a private temporary directory, filled and inspected with plain
// SQL so that tests check what reached the file rather than what the code under test
// believes it wrote. Each helper opens its own short-lived handle, so no lock or cached
// page of the helper outlives the call and disturbs the code under test.
class TempCatalogue {
public:
    enum class Start { WithCatalogue, WithoutFile };

    explicit TempCatalogue(Start start = Start::WithCatalogue) {
        if (start == Start::WithCatalogue && dir_.isValid())
            valid_ = Catalogue::CreateEmpty(Path(), &error_);
        else
            valid_ = dir_.isValid();
    }
    ~TempCatalogue() {
        if (!savedCwd_.isEmpty())
            QDir::setCurrent(savedCwd_);
    }
    TempCatalogue(const TempCatalogue&) = delete;
    TempCatalogue& operator=(const TempCatalogue&) = delete;

    bool IsValid() const { return valid_; }
    QString LastError() const { return error_; }
    QString Dir() const { return dir_.path(); }
    QString Path() const { return dir_.filePath(QString::fromLatin1(Catalogue::kFileName)); }
    QString FilePath(const QString& name) const { return dir_.filePath(name); }

    // Makes the directory the process's current one until this object goes away.
    bool EnterDir() {
        if (savedCwd_.isEmpty())
            savedCwd_ = QDir::currentPath();
        return QDir::setCurrent(Dir());
    }

    // Writes a database with a schema of the test's own at Path(), for files the program
    // never makes itself (a missing column, say).
    bool CreateWithSchema(const QString& sql) {
        sqlite3* db = nullptr;
        bool ok = sqlite3_open_v2(QFile::encodeName(Path()).constData(), &db,
                                  SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
        ok = ok &&
             sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
        if (!ok)
            error_ = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        return ok;
    }

    // Returns the new WebIndex, or -1 (see LastError).
    qint64 AddSite(const QString& name, const QString& url = QString(),
                   const QString& pr = QString()) {
        return Insert(QStringLiteral("INSERT INTO Web (WebName, WebUrl, WebPr) VALUES (?, ?, ?)"),
                      {name, url, pr});
    }

    // Returns the new ContentIndex, or -1.
    qint64 AddParagraph(qint64 web, const QString& text) {
        return Insert(QStringLiteral("INSERT INTO Content (ContentWeb, ContentTxt) VALUES (?, ?)"),
                      {web, text});
    }

    bool Exec(const QString& sql, const QVariantList& values = {}) {
        return Run(sql, values, [](sqlite3_stmt*) {});
    }

    // The first column of the first row as an integer; -1 when the statement fails.
    qint64 Count(const QString& sql, const QVariantList& values = {}) {
        qint64 result = -1;
        if (!Run(sql, values, [&](sqlite3_stmt* st) { result = sqlite3_column_int64(st, 0); }))
            return -1;
        return result;
    }

    // The first column of the first row as text; a null QString for no value or no row.
    QString ScalarText(const QString& sql, const QVariantList& values = {}) {
        QString result;
        Run(sql, values, [&](sqlite3_stmt* st) {
            if (sqlite3_column_type(st, 0) != SQLITE_NULL)
                result =
                    QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                                      sqlite3_column_bytes(st, 0));
        });
        return result;
    }

    // The stored bytes of the first column of the first row, exactly as in the file.
    QByteArray ScalarBytes(const QString& sql, const QVariantList& values = {}) {
        QByteArray result;
        Run(sql, values, [&](sqlite3_stmt* st) {
            const void* data = sqlite3_column_blob(st, 0);
            result = QByteArray(static_cast<const char*>(data), sqlite3_column_bytes(st, 0));
        });
        return result;
    }

    // Whether another running copy could store right now, without waiting for a lock.
    bool WritableNow() {
        sqlite3* db = nullptr;
        bool ok = sqlite3_open_v2(QFile::encodeName(Path()).constData(), &db, SQLITE_OPEN_READWRITE,
                                  nullptr) == SQLITE_OK;
        ok = ok && sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_close(db);
        return ok;
    }

    // The whole file, byte for byte: to show that something left it untouched.
    QByteArray Bytes() const {
        QFile file(Path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Zeroes one leaf page from the middle of `table`'s b-tree, as a failing disk or an
    // interrupted copy would, so that rows before and after it still read. Needs a table
    // of at least three leaf pages.
    bool DamageMiddlePage(const QString& table) {
        const QString leaves = QStringLiteral("FROM dbstat WHERE name = ? AND pagetype = 'leaf'");
        const qint64 count = Count(QStringLiteral("SELECT count(*) ") + leaves, {table});
        if (count < 3) {
            error_ = QStringLiteral("%1 has %2 leaf pages").arg(table).arg(count);
            return false;
        }
        const qint64 page =
            Count(QStringLiteral("SELECT pageno %1 ORDER BY pageno LIMIT 1 OFFSET ?").arg(leaves),
                  {table, count / 2});
        const qint64 size = Count(QStringLiteral("PRAGMA page_size"));
        QFile file(Path());
        return page > 1 && size > 0 && file.open(QIODevice::ReadWrite) &&
               file.seek((page - 1) * size) &&
               file.write(QByteArray(static_cast<int>(size), '\0')) == size;
    }

    // A Web table of 300 sites, long enough to span many pages, with its middle page
    // damaged: the list cannot be read, a site at either end still can.
    bool DamagedWebTable() {
        return Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE "
                    "i < 300) INSERT INTO Web (WebName, WebUrl) "
                    "SELECT 'site ' || i, printf('http://%0100d/', i) FROM n") &&
               DamageMiddlePage(QStringLiteral("Web"));
    }

private:
    qint64 Insert(const QString& sql, const QVariantList& values) {
        qint64 key = -1;
        Run(
            sql, values, [](sqlite3_stmt*) {}, &key);
        return key;
    }

    // Runs one statement; `row` sees the first result row, if any. Never creates the file.
    template <typename RowFn>
    bool Run(const QString& sql, const QVariantList& values, RowFn row, qint64* rowid = nullptr) {
        sqlite3* db = nullptr;
        sqlite3_stmt* st = nullptr;
        bool ok = sqlite3_open_v2(QFile::encodeName(Path()).constData(), &db, SQLITE_OPEN_READWRITE,
                                  nullptr) == SQLITE_OK;
        if (ok) {
            sqlite3_busy_timeout(db, 5000);
            const QByteArray text = sql.toUtf8();
            ok = sqlite3_prepare_v2(db, text.constData(), static_cast<int>(text.size()), &st,
                                    nullptr) == SQLITE_OK &&
                 st;
        }
        for (int i = 0; ok && i < values.size(); ++i) {
            const QVariant& value = values[i];
            if (value.isNull())
                ok = sqlite3_bind_null(st, i + 1) == SQLITE_OK;
            else if (value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::Int)
                ok = sqlite3_bind_int64(st, i + 1, value.toLongLong()) == SQLITE_OK;
            else {
                const QByteArray bytes = value.toString().toUtf8();
                ok = sqlite3_bind_text64(st, i + 1, bytes.constData(), bytes.size(),
                                         SQLITE_TRANSIENT, SQLITE_UTF8) == SQLITE_OK;
            }
        }
        int rc = SQLITE_DONE;
        if (ok) {
            rc = sqlite3_step(st);
            if (rc == SQLITE_ROW)
                row(st);
            ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
        }
        if (ok && rowid)
            *rowid = sqlite3_last_insert_rowid(db);
        if (!ok)
            error_ = QString::fromUtf8(db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_finalize(st);
        sqlite3_close(db);
        return ok;
    }

    QTemporaryDir dir_;
    QString savedCwd_;
    QString error_;
    bool valid_ = false;
};
