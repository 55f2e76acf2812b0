#pragma once

// Runs sitemora-import in a temporary directory on the legacy fixtures, or on copies of
// them changed on purpose, and reads the result back with SQLite.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "support/RunProgram.h"

#include <functional>
#include <sqlite3.h>

inline QString FixturePath(const QString& name) {
    return QDir(qEnvironmentVariable("SITEMORA_FIXTURES"))
        .filePath(QStringLiteral("legacy/") + name);
}

inline QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

inline bool WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

inline QByteArray Hash(const QString& path) {
    return QCryptographicHash::hash(ReadFile(path), QCryptographicHash::Sha256);
}

inline QStringList Listing(const QString& dir) {
    QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.sort(Qt::CaseSensitive);
    return names;
}

inline Outcome RunTool(const QString& dir, const QStringList& args,
                       const std::function<void(QProcess&)>& setUp = {}) {
    return RunProgram(QStringLiteral(SITEMORA_IMPORT_TOOL), dir, args, setUp);
}

inline QByteArray Utf16(const char* text) {
    QByteArray out;
    for (const char* p = text; *p; ++p)
        out.append(*p).append('\0');
    return out;
}

// Replaces the first occurrence of `from`; the fixtures keep names in UTF-16LE.
inline QByteArray Patched(QByteArray data, const QByteArray& from, const QByteArray& to) {
    const qsizetype at = data.indexOf(from);
    if (at < 0 || from.size() != to.size())
        return {};
    data.replace(at, from.size(), to);
    return data;
}

inline QByteArray Int32(qint32 value) {
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char((value >> (8 * i)) & 0xff);
    return out;
}

// The Web table definition is the page holding the Web column names.
inline QByteArray WithWebRowCount(QByteArray data, qint32 rows) {
    const qsizetype name = data.indexOf(Utf16("WebKey3"));
    if (name < 0)
        return {};
    const qsizetype page = name / 4096 * 4096;
    if (data.at(page) != 0x02 || data.mid(page + 16, 4) != Int32(6))
        return {};
    data.replace(page + 16, 4, Int32(rows));
    return data;
}

inline QJsonObject Expected() {
    return QJsonDocument::fromJson(ReadFile(FixturePath(QStringLiteral("expected.json")))).object();
}

// Compares every column of every row, text byte for byte, NULL apart from "".
inline void CompareTable(sqlite3* db, const QString& table, const QString& key,
                         const QJsonArray& expected) {
    sqlite3_stmt* stmt = nullptr;
    const QByteArray sql = QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(table, key).toUtf8();
    QCOMPARE(sqlite3_prepare_v2(db, sql.constData(), -1, &stmt, nullptr), SQLITE_OK);
    int row = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        QVERIFY2(row < expected.size(), qPrintable(table + " has too many rows"));
        const QJsonObject want = expected[row].toObject();
        QCOMPARE(sqlite3_column_count(stmt), int(want.size()));
        for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
            const QString column = QString::fromUtf8(sqlite3_column_name(stmt, c));
            const QByteArray where =
                QStringLiteral("%1 row %2 column %3").arg(table).arg(row).arg(column).toUtf8();
            QVERIFY2(want.contains(column), where.constData());
            const QJsonValue value = want.value(column);
            const int type = sqlite3_column_type(stmt, c);
            if (value.isNull()) {
                QVERIFY2(type == SQLITE_NULL, where.constData());
            } else if (value.isString()) {
                QVERIFY2(type == SQLITE_TEXT, where.constData());
                const QByteArray text(reinterpret_cast<const char*>(sqlite3_column_text(stmt, c)),
                                      sqlite3_column_bytes(stmt, c));
                QVERIFY2(text == value.toString().toUtf8(), where.constData());
            } else {
                QVERIFY2(type == SQLITE_INTEGER, where.constData());
                QCOMPARE(sqlite3_column_int64(stmt, c), value.toInteger());
            }
        }
        ++row;
    }
    sqlite3_finalize(stmt);
    QCOMPARE(row, int(expected.size()));
}

inline void CompareCatalogue(const QString& path, const QJsonObject& expected) {
    sqlite3* db = nullptr;
    QCOMPARE(
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr),
        SQLITE_OK);
    CompareTable(db, QStringLiteral("Web"), QStringLiteral("WebIndex"),
                 expected.value(QStringLiteral("Web")).toArray());
    if (!QTest::currentTestFailed())
        CompareTable(db, QStringLiteral("Content"), QStringLiteral("ContentIndex"),
                     expected.value(QStringLiteral("Content")).toArray());
    sqlite3_close(db);
}

inline qint64 Scalar(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    qint64 value = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

// Runs the tool on `data`, in place and to another file, and expects a refusal naming
// `message`, with nothing written and the old file as it was.
inline void ExpectRefused(const QByteArray& data, const QString& message) {
    for (bool inPlace : {false, true}) {
        QTemporaryDir dir;
        const QString legacy =
            dir.filePath(inPlace ? QStringLiteral("Sitemora.mdb") : QStringLiteral("old.mdb"));
        QVERIFY(WriteFile(legacy, data));
        const QStringList before = Listing(dir.path());
        const Outcome run =
            inPlace ? RunTool(dir.path(), {})
                    : RunTool(dir.path(), {QStringLiteral("old.mdb"), QStringLiteral("new.mdb")});
        QVERIFY2(run.code == 1, qPrintable(QString::number(run.code) + run.err));
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
        QCOMPARE(Listing(dir.path()), before);
        QCOMPARE(ReadFile(legacy), data);
    }
}
