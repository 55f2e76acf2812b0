// Runs sitemora-import on the legacy fixtures and on damaged copies of them, and reads
// the result back with SQLite.
#include "LegacyFile.h"
#include "support/RunProgram.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>
#include <sys/stat.h>

namespace {

QString FixturePath(const QString& name) {
    return QDir(qEnvironmentVariable("SITEMORA_FIXTURES"))
        .filePath(QStringLiteral("legacy/") + name);
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray Hash(const QString& path) {
    return QCryptographicHash::hash(ReadFile(path), QCryptographicHash::Sha256);
}

QStringList Listing(const QString& dir) {
    QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.sort(Qt::CaseSensitive);
    return names;
}

Outcome RunTool(const QString& dir, const QStringList& args) {
    return RunProgram(QStringLiteral(SITEMORA_IMPORT_TOOL), dir, args);
}

QByteArray Utf16(const char* text) {
    QByteArray out;
    for (const char* p = text; *p; ++p)
        out.append(*p).append('\0');
    return out;
}

// Replaces the first occurrence of `from`; the fixtures keep names in UTF-16LE.
QByteArray Patched(QByteArray data, const QByteArray& from, const QByteArray& to) {
    const qsizetype at = data.indexOf(from);
    if (at < 0 || from.size() != to.size())
        return {};
    data.replace(at, from.size(), to);
    return data;
}

QByteArray Int32(qint32 value) {
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char((value >> (8 * i)) & 0xff);
    return out;
}

// The Web table definition is the page holding the Web column names.
QByteArray WithWebRowCount(QByteArray data, qint32 rows) {
    const qsizetype name = data.indexOf(Utf16("WebKey3"));
    if (name < 0)
        return {};
    const qsizetype page = name / 4096 * 4096;
    if (data.at(page) != 0x02 || data.mid(page + 16, 4) != Int32(6))
        return {};
    data.replace(page + 16, 4, Int32(rows));
    return data;
}

QJsonObject Expected() {
    return QJsonDocument::fromJson(ReadFile(FixturePath(QStringLiteral("expected.json")))).object();
}

// Compares every column of every row, text byte for byte, NULL apart from "".
void CompareTable(sqlite3* db, const QString& table, const QString& key,
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

void CompareCatalogue(const QString& path, const QJsonObject& expected) {
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

qint64 Scalar(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    qint64 value = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        value = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return value;
}

} // namespace

class ImportTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY2(QFile::exists(FixturePath(QStringLiteral("catalog-jet4.mdb"))),
                 "SITEMORA_FIXTURES does not lead to the legacy fixtures");
    }

    void decodesJet4Text_data() {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << QByteArray() << QString();
        QTest::newRow("compressed, nothing after the marker")
            << QByteArray("\xff\xfe", 2) << QString();
        QTest::newRow("plain UTF-16LE") << QByteArray("a\0\x2d\x4e", 4) << QStringLiteral("a中");
        QTest::newRow("compressed ASCII") << QByteArray("\xff\xfe"
                                                        "abc",
                                                        5)
                                          << QStringLiteral("abc");
        QTest::newRow("compressed, switching to UTF-16 and back")
            << QByteArray("\xff\xfe"
                          "ab\0\x2d\x4e\x87\x65\0cd",
                          13)
            << QStringLiteral("ab中文cd");
        QTest::newRow("surrogate pair")
            << QByteArray("\x3d\xd8\x00\xde", 4) << QStringLiteral("\U0001F600");
        // A character with a zero low byte cannot occur in compressed text.
        QTest::newRow("surrogate pair inside compressed text")
            << QByteArray("\xff\xfe"
                          "x\0\x3d\xd8\x01\xde\0y",
                          10)
            << QStringLiteral("x\U0001F601y");
        QTest::newRow("line breaks kept") << QByteArray("\xff\xfe"
                                                        "a\r\nb\nc",
                                                        8)
                                          << QStringLiteral("a\r\nb\nc");
        QTest::newRow("odd trailing byte dropped") << QByteArray("a\0b", 3) << QStringLiteral("a");
    }

    void decodesJet4Text() {
        QFETCH(QByteArray, stored);
        QFETCH(QString, text);
        const QByteArray utf8 = Legacy::DecodeJet4Text(
            reinterpret_cast<const unsigned char*>(stored.constData()), std::size_t(stored.size()));
        QCOMPARE(utf8, text.toUtf8());
    }

    void importsEveryRow_data() {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<bool>("inPlace");
        for (const char* name : {"catalog-jet4.mdb", "catalog-jet4-mixedcomp.mdb"}) {
            QTest::addRow("%s in place", name) << QString::fromLatin1(name) << true;
            QTest::addRow("%s to another file", name) << QString::fromLatin1(name) << false;
        }
    }

    void importsEveryRow() {
        QFETCH(QString, fixture);
        QFETCH(bool, inPlace);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray original = Hash(FixturePath(fixture));
        const QString legacy = dir.filePath(inPlace ? QStringLiteral("Sitemora.mdb") : fixture);
        QVERIFY(QFile::copy(FixturePath(fixture), legacy));

        const Outcome run = inPlace ? RunTool(dir.path(), {})
                                    : RunTool(dir.path(), {fixture, QStringLiteral("new.mdb")});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains(QStringLiteral("6 sites and 8 paragraphs")), qPrintable(run.out));
        QVERIFY2(run.err.isEmpty(), qPrintable(run.err)); // no progress off a terminal

        const QString catalogue =
            dir.filePath(inPlace ? QStringLiteral("Sitemora.mdb") : QStringLiteral("new.mdb"));
        const QString kept = inPlace ? dir.filePath(QStringLiteral("Sitemora.mdb.jet")) : legacy;
        QCOMPARE(Hash(kept), original);
        QCOMPARE(Listing(dir.path()), inPlace ? QStringList({"Sitemora.mdb", "Sitemora.mdb.jet"})
                                              : QStringList({fixture, "new.mdb"}));
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(catalogue).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));

        CompareCatalogue(catalogue, Expected());
    }

    void newKeysFollowImportedOnes() {
        QTemporaryDir dir;
        QVERIFY(QFile::copy(FixturePath(QStringLiteral("catalog-jet4.mdb")),
                            dir.filePath(QStringLiteral("old.mdb"))));
        const Outcome run =
            RunTool(dir.path(), {QStringLiteral("old.mdb"), QStringLiteral("new.mdb")});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        sqlite3* db = nullptr;
        QCOMPARE(
            sqlite3_open_v2(QFile::encodeName(dir.filePath(QStringLiteral("new.mdb"))).constData(),
                            &db, SQLITE_OPEN_READWRITE, nullptr),
            SQLITE_OK);
        QCOMPARE(sqlite3_exec(db,
                              "INSERT INTO Web (WebName) VALUES ('new');"
                              "INSERT INTO Content (ContentWeb, ContentTxt) VALUES (1, 'new');",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        QVERIFY(Scalar(db, "SELECT WebIndex FROM Web WHERE WebName = 'new'") > 1001);
        QVERIFY(Scalar(db, "SELECT ContentIndex FROM Content WHERE ContentTxt = 'new'") > 2001);
        QCOMPARE(Scalar(db, "PRAGMA application_id"), qint64(1398034765));
        sqlite3_close(db);
    }

    void keepsOrphanParagraphs() {
        // Paragraph 12 belongs to site 17; pointing it at site 0 makes it an orphan.
        const QByteArray data = Patched(ReadFile(FixturePath(QStringLiteral("catalog-jet4.mdb"))),
                                        Int32(12) + Int32(17), Int32(12) + Int32(0));
        QVERIFY(!data.isEmpty());
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.filePath(QStringLiteral("old.mdb")), data));
        const Outcome run =
            RunTool(dir.path(), {QStringLiteral("old.mdb"), QStringLiteral("new.mdb")});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains(QStringLiteral("1 orphan paragraph ")), qPrintable(run.out));

        QJsonObject expected = Expected();
        QJsonArray content = expected.value(QStringLiteral("Content")).toArray();
        for (qsizetype i = 0; i < content.size(); ++i) {
            QJsonObject row = content[i].toObject();
            if (row.value(QStringLiteral("ContentIndex")).toInteger() == 12) {
                row.insert(QStringLiteral("ContentWeb"), 0);
                content[i] = row;
            }
        }
        expected.insert(QStringLiteral("Content"), content);
        CompareCatalogue(dir.filePath(QStringLiteral("new.mdb")), expected);
    }

    void refusesBadInput_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        const QByteArray good = ReadFile(FixturePath(QStringLiteral("catalog-jet4.mdb")));

        QTest::newRow("empty") << QByteArray() << "empty";
        QTest::newRow("text file")
            << QByteArray("name,url\nexample,http://example.com/\n") << "not a Jet";
        QTest::newRow("header only") << good.left(10) << "too short";
        QTest::newRow("newer format")
            << QByteArray(good).replace(0x14, 1, QByteArray(1, '\x03')) << "newer than Jet 4";
        QTest::newRow("catalogue already")
            << QByteArray("SQLite format 3\0", 16) + QByteArray(4080, '\0') << "already";
        QTest::newRow("damaged page map")
            << ReadFile(FixturePath(QStringLiteral("corrupt-usage-map.mdb"))) << "damaged";
        QTest::newRow("no Web table") << Patched(good, Utf16("Web") + QByteArray(1, '\xa6'),
                                                 Utf16("Wex") + QByteArray(1, '\xa6'))
                                      << "no Web table";
        QTest::newRow("no Content table") << Patched(good, Utf16("Content") + QByteArray(1, '\xa6'),
                                                     Utf16("Contenx") + QByteArray(1, '\xa6'))
                                          << "no Content table";
        QTest::newRow("missing column") << Patched(good, Utf16("WebKey3"), Utf16("WebKez3"))
                                        << "Web table has no column WebKey3";
        QTest::newRow("row count differs") << WithWebRowCount(good, 7) << "should hold 7 rows";
        // Cuts inside a page, inside the system tables, inside each table's data, and
        // inside the pages of long paragraphs. (The last pages only hold the long text
        // of deleted rows, so cutting them loses nothing and is not refused.)
        for (int size : {3000, 100000})
            QTest::addRow("cut at byte %d", size) << good.left(size) << "truncated";
        QTest::addRow("cut after page 3") << good.left(3 * 4096) << "list of tables";
        QTest::addRow("cut after page 20") << good.left(20 * 4096) << "no Web table";
        QTest::addRow("cut after page 30") << good.left(30 * 4096) << "Web table should hold";
        QTest::addRow("cut after page 33") << good.left(33 * 4096) << "Content table should hold";
        QTest::addRow("cut after page 36") << good.left(36 * 4096) << "long text";
        QTest::addRow("cut after page 41") << good.left(41 * 4096) << "long text";
    }

    void refusesBadInput() {
        QFETCH(QByteArray, data);
        QFETCH(QString, message);
        QVERIFY2(!data.isNull() || QByteArray(QTest::currentDataTag()) == "empty",
                 "the fixture no longer has the bytes this case changes");
        for (bool inPlace : {false, true}) {
            QTemporaryDir dir;
            const QString legacy =
                dir.filePath(inPlace ? QStringLiteral("Sitemora.mdb") : QStringLiteral("old.mdb"));
            QVERIFY(WriteFile(legacy, data));
            const QStringList before = Listing(dir.path());
            const Outcome run =
                inPlace
                    ? RunTool(dir.path(), {})
                    : RunTool(dir.path(), {QStringLiteral("old.mdb"), QStringLiteral("new.mdb")});
            QVERIFY2(run.code == 1, qPrintable(QString::number(run.code) + run.err));
            QVERIFY2(run.err.contains(message), qPrintable(run.err));
            QVERIFY2(run.out.isEmpty(), qPrintable(run.out));
            QCOMPARE(Listing(dir.path()), before);
            QCOMPARE(ReadFile(legacy), data);
        }
    }

    void neverReplacesAFile() {
        QTemporaryDir dir;
        const QString legacy = dir.filePath(QStringLiteral("Sitemora.mdb"));
        QVERIFY(QFile::copy(FixturePath(QStringLiteral("catalog-jet4.mdb")), legacy));
        QVERIFY(WriteFile(dir.filePath(QStringLiteral("Sitemora.mdb.jet")), "earlier backup"));
        QVERIFY(WriteFile(dir.filePath(QStringLiteral("new.mdb")), "someone's file"));
        const QByteArray original = Hash(legacy);

        Outcome run = RunTool(dir.path(), {});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(QStringLiteral("Sitemora.mdb.jet already exists")),
                 qPrintable(run.err));
        run = RunTool(dir.path(), {QStringLiteral("Sitemora.mdb"), QStringLiteral("new.mdb")});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(QStringLiteral("new.mdb already exists")), qPrintable(run.err));

        QCOMPARE(Hash(legacy), original);
        QCOMPARE(ReadFile(dir.filePath(QStringLiteral("Sitemora.mdb.jet"))),
                 QByteArray("earlier backup"));
        QCOMPARE(ReadFile(dir.filePath(QStringLiteral("new.mdb"))), QByteArray("someone's file"));
        QCOMPARE(Listing(dir.path()), QStringList({"Sitemora.mdb", "Sitemora.mdb.jet", "new.mdb"}));
    }

    void explainsItsArguments() {
        QTemporaryDir dir;
        QVERIFY(QFile::copy(FixturePath(QStringLiteral("catalog-jet4.mdb")),
                            dir.filePath(QStringLiteral("old.mdb"))));
        Outcome run = RunTool(dir.path(), {});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(QStringLiteral("Sitemora.mdb does not exist")),
                 qPrintable(run.err));
        // Converting in place only makes sense for the file the program opens.
        run = RunTool(dir.path(), {QStringLiteral("old.mdb")});
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(QStringLiteral("NEW")), qPrintable(run.err));
        run = RunTool(dir.path(), {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
        QCOMPARE(run.code, 2);
        run = RunTool(dir.path(), {QStringLiteral("--help")});
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.contains(QStringLiteral("Sitemora.mdb.jet")));
        QCOMPARE(Listing(dir.path()), QStringList({"old.mdb"}));
    }
};

QTEST_GUILESS_MAIN(ImportTest)
#include "tst_import.moc"
