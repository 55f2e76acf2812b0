// The tools as a user of the desktop menu meets them: on the menu's catalogue with
// --user-catalogue, and in a folder that holds no catalogue at all.
#include "support/RunProgram.h"
#include "support/TempCatalogue.h"

#include <QtTest>

#include <memory>

#include <sys/stat.h>

namespace {

QString Tool(const char* path) {
    return QString::fromLatin1(path);
}

int Mode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

class CatalogueOptionsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        // A fresh user for each case: a menu's catalogue left by the last would change
        // what the next is told.
        scratch_ = std::make_unique<QTemporaryDir>();
        QVERIFY(scratch_->isValid());
        QVERIFY(QDir(scratch_->path()).mkpath(QStringLiteral("work")));
        QVERIFY(QDir(scratch_->path()).mkpath(QStringLiteral("home")));
    }

    void menuCatalogueIsWrittenThenUsedByEveryTool() {
        const QString folder = scratch_->filePath(QStringLiteral("data/sitemora"));
        const QString menus = folder + QStringLiteral("/Sitemora.mdb");
        Outcome run = Run(SITEMORA_NEWDB_TOOL, {"--user-catalogue"});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QCOMPARE(Mode(scratch_->filePath(QStringLiteral("data"))), 0700);
        QCOMPARE(Mode(folder), 0700);
        QCOMPARE(Mode(menus), 0600);
        // Written once; a second run must not wipe what the program has kept since.
        QCOMPARE(Run(SITEMORA_NEWDB_TOOL, {"--user-catalogue"}).code, 1);

        run = Run(SITEMORA_BACKUP_TOOL, {"--user-catalogue", "now"});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        run = Run(SITEMORA_BACKUP_TOOL, {"--user-catalogue", "list"});
        QCOMPARE(run.code, 0);
        QCOMPARE(run.out.count(QLatin1Char('\n')), 1);
        const QString exported = scratch_->filePath(QStringLiteral("work/all.json"));
        run = Run(SITEMORA_EXPORT_TOOL, {"--user-catalogue", "--format", "json", exported});
        QVERIFY2(run.code == 0, qPrintable(run.err));
#ifdef SITEMORA_IMPORT_TOOL
        run = Run(SITEMORA_IMPORT_TOOL, {"--user-catalogue", "--merge", exported});
        QVERIFY2(run.code == 0, qPrintable(run.err));
        QVERIFY2(run.out.contains(QStringLiteral("sitemora-backup --user-catalogue restore")),
                 qPrintable(run.out));
#endif
        QVERIFY(!QFileInfo::exists(scratch_->filePath(QStringLiteral("work/Sitemora.mdb"))));
        QVERIFY(!QFileInfo::exists(scratch_->filePath(QStringLiteral("home/Sitemora.mdb"))));
    }

    void missingCatalogueIsRefusedNamingWhereToLook_data() {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QStringList>("args");
        QTest::newRow("backup list") << Tool(SITEMORA_BACKUP_TOOL) << QStringList{"list"};
        QTest::newRow("backup now") << Tool(SITEMORA_BACKUP_TOOL) << QStringList{"now"};
        QTest::newRow("backup restore")
            << Tool(SITEMORA_BACKUP_TOOL) << QStringList{"restore", "2001-01-01T00-00-00.000Z.mdb"};
        QTest::newRow("export") << Tool(SITEMORA_EXPORT_TOOL)
                                << QStringList{"--format", "csv", "out.csv"};
#ifdef SITEMORA_IMPORT_TOOL
        QTest::newRow("merge") << Tool(SITEMORA_IMPORT_TOOL) << QStringList{"--merge", "in.json"};
#endif
    }

    void missingCatalogueIsRefusedNamingWhereToLook() {
        QFETCH(QString, tool);
        QFETCH(QStringList, args);
        const QString lookedFor = scratch_->filePath(QStringLiteral("work/Sitemora.mdb"));
        const QString menus = scratch_->filePath(QStringLiteral("data/sitemora/Sitemora.mdb"));

        // No catalogue anywhere: how to make one.
        Outcome run = Run(tool, args);
        QCOMPARE(run.code, 1);
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.contains(QStringLiteral("no catalogue at ") + lookedFor),
                 qPrintable(run.err));
        QVERIFY2(run.err.contains(QLatin1String("sitemora-newdb")), qPrintable(run.err));

        // Asked for the menu's, which does not exist: refused, never created.
        run = Run(tool, QStringList{"--user-catalogue"} + args);
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(QStringLiteral("no catalogue at ") + menus), qPrintable(run.err));
        QVERIFY(!QFileInfo::exists(menus));

        // The menu's catalogue exists: named, with the option that reaches it.
        QVERIFY(Run(SITEMORA_NEWDB_TOOL, {"--user-catalogue"}).code == 0);
        run = Run(tool, args);
        QCOMPARE(run.code, 1);
        QVERIFY2(run.err.contains(lookedFor) && run.err.contains(menus) &&
                     run.err.contains(QLatin1String("--user-catalogue")),
                 qPrintable(run.err));
        QCOMPARE(QDir(scratch_->filePath(QStringLiteral("work")))
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    }

    void bothCatalogueOptionsAreWrongUsage() {
        TempCatalogue catalogue;
        const Outcome run = Run(SITEMORA_BACKUP_TOOL,
                                {"--catalogue", catalogue.Path(), "--user-catalogue", "list"});
        QCOMPARE(run.code, 2);
        QVERIFY(run.err.contains(QLatin1String("usage: sitemora-backup")));
    }

    void versionStatesTheLicence_data() {
        QTest::addColumn<QString>("tool");
        QTest::newRow("newdb") << Tool(SITEMORA_NEWDB_TOOL);
        QTest::newRow("backup") << Tool(SITEMORA_BACKUP_TOOL);
        QTest::newRow("export") << Tool(SITEMORA_EXPORT_TOOL);
#ifdef SITEMORA_IMPORT_TOOL
        QTest::newRow("import") << Tool(SITEMORA_IMPORT_TOOL);
#endif
    }

    void versionStatesTheLicence() {
        QFETCH(QString, tool);
        const Outcome run = Run(tool, {"--version"});
        QCOMPARE(run.code, 0);
        QVERIFY2(run.out.contains(QLatin1String("GNU GPL version 3 or later")) &&
                     run.out.contains(QLatin1String("NO WARRANTY")),
                 qPrintable(run.out));
    }

private:
    // Run from the folder "work" with a home and a data folder of the test's own, as a
    // terminal of that user would.
    Outcome Run(const QString& tool, const QStringList& args) {
        const QString home = scratch_->filePath(QStringLiteral("home"));
        const QString data = scratch_->filePath(QStringLiteral("data"));
        return RunProgram(tool, scratch_->filePath(QStringLiteral("work")), args,
                          [&](QProcess& process) {
                              QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
                              env.insert(QStringLiteral("HOME"), home);
                              env.insert(QStringLiteral("XDG_DATA_HOME"), data);
                              process.setProcessEnvironment(env);
                          });
    }
    Outcome Run(const char* tool, const QStringList& args) {
        return Run(Tool(tool), args);
    }

    std::unique_ptr<QTemporaryDir> scratch_;
};

QTEST_GUILESS_MAIN(CatalogueOptionsTest)
#include "tst_catalogue_options.moc"
