// Runs the tools on the files people really have beside a catalogue: a FIFO, a folder or a
// device named as one, a catalogue whose last writer was killed, a full disk, and what a
// killed export left behind.
#include "TransferTesting.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace TransferTesting;

namespace {

// A tool that waits on a FIFO for ever must fail the test, not hang it.
constexpr int kToolLimitMs = 10000;

Outcome Run(const char* tool, const QString& dir, const QStringList& args,
            const std::function<void(QProcess&)>& setUp = {}) {
    return RunProgram(QString::fromLatin1(tool), dir, args, setUp, kToolLimitMs);
}

// Makes at `path` the kind of file the row names; false if this machine cannot.
bool MakeFile(const QString& kind, const QString& path, const QString& catalogue) {
    const QByteArray name = QFile::encodeName(path);
    if (kind == QLatin1String("FIFO"))
        return ::mkfifo(name.constData(), 0600) == 0;
    if (kind == QLatin1String("folder"))
        return ::mkdir(name.constData(), 0700) == 0;
    // The null device itself where devices may be made, a link to it elsewhere; either
    // way nothing may appear in /dev.
    if (kind == QLatin1String("device"))
        return ::mknod(name.constData(), S_IFCHR | 0600, makedev(1, 3)) == 0 ||
               ::symlink("/dev/null", name.constData()) == 0;
    return ::symlink(QFile::encodeName(catalogue).constData(), name.constData()) == 0;
}

// A child process that holds an flock on `path` until `release` is closed.
pid_t HoldLock(const QString& path, int* release) {
    int ready[2];
    int done[2];
    if (::pipe(ready) != 0 || ::pipe(done) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
        char byte = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
        ::close(done[1]);
        [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);
        n = ::read(done[0], &byte, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(done[0]);
    char byte = 'n';
    const bool held = ::read(ready[0], &byte, 1) == 1 && byte == 'y';
    ::close(ready[0]);
    *release = done[1];
    return held ? child : -1;
}

} // namespace

class ToolFilesTest : public QObject {
    Q_OBJECT

private slots:
    void onlyARegularFileIsTakenForACatalogue_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("tool");
        QTest::addColumn<QStringList>("args");
        const QByteArray exporter(SITEMORA_EXPORT_TOOL);
        const QByteArray backup(SITEMORA_BACKUP_TOOL);
        const QByteArray newdb(SITEMORA_NEWDB_TOOL);
        for (const char* kind : {"FIFO", "folder", "device", "link to the catalogue"}) {
            const auto add = [kind](const char* what, const QByteArray& tool,
                                    const QStringList& args) {
                QTest::addRow("%s: %s", what, kind) << QString::fromLatin1(kind) << tool << args;
            };
            add("export", exporter, {"--catalogue", "X", "--format", "json", "o"});
            add("backup now", backup, {"--catalogue", "X", "now"});
            add("restore", backup, {"--catalogue", "X", "restore", "2001-01-01T00-00-00.000Z.mdb"});
            add("newdb", newdb, {"X"});
#ifdef SITEMORA_IMPORT_TOOL
            const QByteArray importer(SITEMORA_IMPORT_TOOL);
            add("merge", importer, {"--catalogue", "X", "--merge", "in.json"});
            add("import", importer, {"X", "new.mdb"});
#endif
        }
    }

    void onlyARegularFileIsTakenForACatalogue() {
        QFETCH(QString, kind);
        QFETCH(QByteArray, tool);
        QFETCH(QStringList, args);
        TempCatalogue catalogue;
        QVERIFY(catalogue.AddSite(QStringLiteral("网站")) > 0);
        QCOMPARE(Run(SITEMORA_EXPORT_TOOL, catalogue.Dir(), {"--format", "json", "in.json"}).code,
                 0);
        const QString path = catalogue.FilePath("X");
        QVERIFY(MakeFile(kind, path, catalogue.Path()));
        const QStringList before = QDir(catalogue.Dir()).entryList(QDir::AllEntries | QDir::Hidden);

        const Outcome outcome = Run(tool.constData(), catalogue.Dir(), args);
        QVERIFY2(outcome.code >= 0, "the tool did not finish");
        if (kind.startsWith(QLatin1String("link"))) {
            // Taken as the catalogue it names, whatever the tool then makes of it.
            QVERIFY2(!outcome.err.contains(QLatin1String("not a catalogue file")),
                     qPrintable(outcome.err));
            return;
        }
        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.startsWith(QString::fromUtf8(tool).section(QLatin1Char('/'), -1) +
                                        QLatin1String(": ")) &&
                     outcome.err.contains(QLatin1String("X: not a catalogue file")),
                 qPrintable(outcome.err));
        QCOMPARE(QDir(catalogue.Dir()).entryList(QDir::AllEntries | QDir::Hidden), before);
    }

    // A merge killed while writing leaves a journal that SQLite must roll back: the export
    // reads the catalogue as it was before that merge, as the program would.
    void exportReadsACatalogueWhoseWriterWasKilled() {
        TempCatalogue catalogue;
        QVERIFY(catalogue.AddSite(QStringLiteral("committed")) > 0);
        const pid_t writer = ::fork();
        if (writer == 0) {
            sqlite3* db = nullptr;
            sqlite3_open(QFile::encodeName(catalogue.Path()).constData(), &db);
            // A small cache makes SQLite write changed pages into the file before the
            // commit, with their old contents in the journal.
            sqlite3_exec(db,
                         "PRAGMA cache_size = 10; BEGIN; INSERT INTO Content (ContentWeb, "
                         "ContentTxt) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                         "FROM n WHERE i < 300) SELECT 1, 'cut ' || printf('%.2000c', 'x') FROM n",
                         nullptr, nullptr, nullptr);
            ::raise(SIGKILL);
        }
        int status = 0;
        QCOMPARE(::waitpid(writer, &status, 0), writer);
        QVERIFY(WIFSIGNALED(status));
        QVERIFY(QFileInfo(catalogue.Path() + "-journal").size() > 0);

        const Outcome outcome =
            Run(SITEMORA_EXPORT_TOOL, catalogue.Dir(), {"--format", "json", "out.json"});
        QVERIFY2(outcome.code == 0, qPrintable(outcome.err));
        const QByteArray json = ReadAll(catalogue.FilePath("out.json"));
        QVERIFY(json.contains("committed"));
        QVERIFY(!json.contains("cut x"));
        QCOMPARE(catalogue.Count(QStringLiteral("SELECT count(*) FROM Content")), 0);
    }

    // A restore that fills the disk says so, and leaves the catalogue as it was.
    void restoreOnAFullDiskSaysSo() {
        TempCatalogue catalogue;
        const qint64 site = catalogue.AddSite(QStringLiteral("kept"));
        QVERIFY(catalogue.Exec(QStringLiteral("INSERT INTO Content (ContentWeb, ContentTxt) WITH "
                                              "RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                                              "FROM n WHERE i < 300) SELECT ?, printf('%.2000c', "
                                              "'x') FROM n"),
                               {site}));
        const Outcome made = Run(SITEMORA_BACKUP_TOOL, catalogue.Dir(), {"now"});
        QCOMPARE(made.code, 0);
        const QString name = QFileInfo(made.out.trimmed()).fileName();
        QVERIFY(catalogue.Exec(QStringLiteral("DELETE FROM Content")));
        QVERIFY(catalogue.Exec(QStringLiteral("VACUUM")));
        QVERIFY(QFileInfo(catalogue.Path()).size() < 65536);

        // The restored catalogue grows past what the process may write.
        const Outcome outcome =
            Run(SITEMORA_BACKUP_TOOL, catalogue.Dir(), {"restore", name}, [](QProcess& process) {
                process.setChildProcessModifier([] {
                    ::signal(SIGXFSZ, SIG_IGN);
                    const rlimit limit{131072, 131072};
                    ::setrlimit(RLIMIT_FSIZE, &limit);
                });
            });
        QCOMPARE(outcome.code, 1);
        QVERIFY2(outcome.err.contains(QString::fromLocal8Bit(std::strerror(EFBIG))) ||
                     outcome.err.contains(QLatin1String("no space left on the device")),
                 qPrintable(outcome.err));
        QCOMPARE(catalogue.Count(QStringLiteral("SELECT count(*) FROM Web")), 1);
        QCOMPARE(catalogue.Count(QStringLiteral("SELECT count(*) FROM Content")), 0);
    }

    // What an export killed outright left (named as the export names its temporary file,
    // holding passwords) goes at the next export to that name; one still being written,
    // and every other file, stays.
    void exportRemovesWhatKilledExportsLeft() {
        TempCatalogue catalogue;
        QVERIFY(catalogue.AddSite(QStringLiteral("site")) > 0);
        const QString left = catalogue.FilePath(".out.json.Ab12Cd");
        const QString running = catalogue.FilePath(".out.json.Zz98Yy");
        const QStringList others{".other.json.Ab12Cd", ".out.json.Ab12C", "out.json.Ab12Cd",
                                 ".Sitemora.mdb.Ab12Cd"};
        for (const QString& name : QStringList{left, running} + others)
            QVERIFY(
                WriteAll(catalogue.FilePath(QFileInfo(name).fileName()), "\"WebKey1\": \"pw\""));
        int release = -1;
        const pid_t holder = HoldLock(running, &release);
        QVERIFY(holder > 0);

        const Outcome outcome =
            Run(SITEMORA_EXPORT_TOOL, catalogue.Dir(), {"--format", "json", "out.json"});
        ::close(release);
        QCOMPARE(::waitpid(holder, nullptr, 0), holder);
        QCOMPARE(outcome.code, 0);
        QVERIFY(!QFileInfo::exists(left));
        QVERIFY(QFileInfo::exists(running));
        for (const QString& name : others)
            QVERIFY2(QFileInfo::exists(catalogue.FilePath(name)), qPrintable(name));
    }
};

QTEST_GUILESS_MAIN(ToolFilesTest)
#include "tst_tool_files.moc"
