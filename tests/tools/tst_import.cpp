// Runs sitemora-import on the legacy fixtures and on damaged copies of them, and reads
// the result back with SQLite.
#include "ImportHarness.h"
#include "LegacyFile.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Whether process `pid` is stopped, as by SIGSTOP.
bool Stopped(pid_t pid) {
    const QByteArray stat = ReadFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype name = stat.lastIndexOf(')');
    return name >= 0 && stat.mid(name + 2, 1) == "T";
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
        QTest::addColumn<bool>("whole");
        QTest::newRow("empty") << QByteArray() << QString() << true;
        QTest::newRow("compressed, nothing after the marker")
            << QByteArray("\xff\xfe", 2) << QString() << true;
        QTest::newRow("plain UTF-16LE")
            << QByteArray("a\0\x2d\x4e", 4) << QStringLiteral("a中") << true;
        QTest::newRow("compressed ASCII") << QByteArray("\xff\xfe"
                                                        "abc",
                                                        5)
                                          << QStringLiteral("abc") << true;
        QTest::newRow("compressed, switching to UTF-16 and back")
            << QByteArray("\xff\xfe"
                          "ab\0\x2d\x4e\x87\x65\0cd",
                          13)
            << QStringLiteral("ab中文cd") << true;
        QTest::newRow("surrogate pair")
            << QByteArray("\x3d\xd8\x00\xde", 4) << QStringLiteral("\U0001F600") << true;
        // A character with a zero low byte cannot occur in compressed text.
        QTest::newRow("surrogate pair inside compressed text")
            << QByteArray("\xff\xfe"
                          "x\0\x3d\xd8\x01\xde\0y",
                          10)
            << QStringLiteral("x\U0001F601y") << true;
        QTest::newRow("line breaks kept") << QByteArray("\xff\xfe"
                                                        "a\r\nb\nc",
                                                        8)
                                          << QStringLiteral("a\r\nb\nc") << true;
        QTest::newRow("odd trailing byte refused")
            << QByteArray("a\0b", 3) << QStringLiteral("a") << false;
        QTest::newRow("compressed, last UTF-16 character cut in half")
            << QByteArray("\xff\xfe"
                          "a\0\x2d",
                          5)
            << QStringLiteral("a") << false;
    }

    void decodesJet4Text() {
        QFETCH(QByteArray, stored);
        QFETCH(QString, text);
        QFETCH(bool, whole);
        QByteArray utf8;
        QCOMPARE(Legacy::DecodeJet4Text(reinterpret_cast<const unsigned char*>(stored.constData()),
                                        std::size_t(stored.size()), &utf8),
                 whole);
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
        ExpectRefused(data, message);
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
        QVERIFY2(run.err.contains(QStringLiteral("no catalogue at ") +
                                  dir.filePath(QStringLiteral("Sitemora.mdb"))),
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
        run = RunTool(dir.path(), {QStringLiteral("--version")});
        QCOMPARE(run.code, 0);
        QVERIFY(run.out.startsWith(QStringLiteral("sitemora-import ")));
        run = RunTool(dir.path(), {QStringLiteral("--bogus"), QStringLiteral("old.mdb")});
        QCOMPARE(run.code, 2);
        QVERIFY2(run.err.contains(QStringLiteral("usage: sitemora-import [OLD [NEW]]")),
                 qPrintable(run.err));
        QCOMPARE(Listing(dir.path()), QStringList({"old.mdb"}));
    }

    void refusesNamesThatAreNotUtf8() {
        // Only a shell can hand over such a name; QProcess passes UTF-8.
        QTemporaryDir dir;
        QVERIFY(QFile::copy(FixturePath(QStringLiteral("catalog-jet4.mdb")),
                            dir.filePath(QStringLiteral("old.mdb"))));
        const char* scripts[] = {
            R"sh(exec "$0" old.mdb "$(printf 'new\377.mdb')")sh",
            R"sh(old="$(printf 'old\377.mdb')"; cp old.mdb "$old"; "$0" "$old" new.mdb; s=$?; rm "$old"; exit $s)sh"};
        for (const char* script : scripts) {
            QProcess process;
            process.setWorkingDirectory(dir.path());
            process.start(QStringLiteral("/bin/sh"),
                          {QStringLiteral("-c"), QString::fromLatin1(script),
                           QStringLiteral(SITEMORA_IMPORT_TOOL)});
            QVERIFY(process.waitForFinished(60000));
            const QString err = QString::fromUtf8(process.readAllStandardError());
            QCOMPARE(process.exitCode(), 1);
            QVERIFY2(err.contains(QStringLiteral("is not valid UTF-8")), qPrintable(err));
            // Neither the new catalogue nor its temporary file under any name.
            QVERIFY2(Listing(dir.path())
                         .filter(QRegularExpression(QStringLiteral("^\\.?new")))
                         .isEmpty(),
                     qPrintable(Listing(dir.path()).join(QLatin1Char(' '))));
        }
    }

    void leavesNothingWhenInterrupted() {
        // A signal that lands while the new catalogue is being filled leaves nothing; one
        // that lands while it is put in place waits, and leaves the whole catalogue.
        const int interrupts[] = {SIGQUIT, SIGINT, SIGTERM, SIGHUP};
        for (const int signal : interrupts) {
            for (const bool publishing : {false, true}) {
                QTemporaryDir dir;
                QVERIFY(QFile::copy(FixturePath(QStringLiteral("catalog-jet4.mdb")),
                                    dir.filePath(QStringLiteral("old.mdb"))));
                QProcess process;
                process.setWorkingDirectory(dir.path());
                QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SITEMORA_PAUSE));
                env.insert(QStringLiteral("ASAN_OPTIONS"),
                           QStringLiteral("verify_asan_link_order=0"));
                env.insert(QStringLiteral("SITEMORA_PAUSE_AT"),
                           publishing ? QStringLiteral("publish") : QStringLiteral("fill"));
                process.setProcessEnvironment(env);
                process.setChildProcessModifier([] {
                    const rlimit noCore{0, 0};
                    setrlimit(RLIMIT_CORE, &noCore);
                });
                process.start(QStringLiteral(SITEMORA_IMPORT_TOOL),
                              {QStringLiteral("old.mdb"), QStringLiteral("new.mdb")});
                QVERIFY(process.waitForStarted());
                const pid_t pid = pid_t(process.processId());
                QTRY_VERIFY_WITH_TIMEOUT(Stopped(pid), 60000);
                ::kill(pid, signal);
                ::kill(pid, SIGCONT);
                QVERIFY(process.waitForFinished(60000));
                QCOMPARE(process.exitStatus(), QProcess::NormalExit);
                if (publishing) {
                    QCOMPARE(process.exitCode(), 0);
                    QCOMPARE(Listing(dir.path()), QStringList({"new.mdb", "old.mdb"}));
                } else {
                    QCOMPARE(process.exitCode(), 128 + signal);
                    QCOMPARE(Listing(dir.path()), QStringList({"old.mdb"}));
                }
            }
        }
    }

    void convertsInPlaceWhereHardLinksAreRefused() {
        for (bool renameRefused : {false, true}) {
            QTemporaryDir dir;
            const QString legacy = dir.filePath(QStringLiteral("Sitemora.mdb"));
            QVERIFY(QFile::copy(FixturePath(QStringLiteral("catalog-jet4.mdb")), legacy));
            const QByteArray original = Hash(legacy);
            const Outcome run = RunTool(dir.path(), {}, [renameRefused](QProcess& process) {
                QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(SITEMORA_NO_LINKS));
                // The sanitizer build wants its runtime first; the stand-in comes first.
                env.insert(QStringLiteral("ASAN_OPTIONS"),
                           QStringLiteral("verify_asan_link_order=0"));
                if (renameRefused)
                    env.insert(QStringLiteral("SITEMORA_REFUSE_RENAME"), QStringLiteral("1"));
                process.setProcessEnvironment(env);
            });
            if (renameRefused) {
                QCOMPARE(run.code, 1);
                QVERIFY2(run.err.contains(QStringLiteral("nothing was changed")),
                         qPrintable(run.err));
                QCOMPARE(Hash(legacy), original);
                QCOMPARE(Listing(dir.path()), QStringList({"Sitemora.mdb"}));
                continue;
            }
            QVERIFY2(run.code == 0, qPrintable(run.err));
            QCOMPARE(Hash(dir.filePath(QStringLiteral("Sitemora.mdb.jet"))), original);
            QCOMPARE(Listing(dir.path()), QStringList({"Sitemora.mdb", "Sitemora.mdb.jet"}));
            CompareCatalogue(legacy, Expected());
        }
    }
};

QTEST_GUILESS_MAIN(ImportTest)
#include "tst_import.moc"
