// Runs sitemora-backup as a user does, in the directory of a catalogue.
#include "support/RunProgram.h"
#include "support/TempCatalogue.h"

#include <QDir>
#include <QtTest>

namespace {

Outcome RunTool(const QString& dir, const QStringList& args) {
    return RunProgram(QStringLiteral(SITEMORA_BACKUP_TOOL), dir, args);
}

} // namespace

class TestBackupTool : public QObject {
    Q_OBJECT
private slots:
    void wrongUsageExitsWithTwo_data();
    void wrongUsageExitsWithTwo();
    void failuresExitWithOneAndSayWhy();
    void siteDeletedByMistakeComesBack();
};

void TestBackupTool::wrongUsageExitsWithTwo_data() {
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"backup"};
    QTest::newRow("restore without a name") << QStringList{"restore"};
}

void TestBackupTool::wrongUsageExitsWithTwo() {
    QFETCH(QStringList, args);
    TempCatalogue catalogue;
    const Outcome outcome = RunTool(catalogue.Dir(), args);
    QCOMPARE(outcome.code, 2);
    QVERIFY(outcome.err.contains(QLatin1String("usage: sitemora-backup")));
    QVERIFY(outcome.out.isEmpty());
    QVERIFY(!QFileInfo::exists(catalogue.Path() + ".backups"));
}

void TestBackupTool::failuresExitWithOneAndSayWhy() {
    TempCatalogue empty(TempCatalogue::Start::WithoutFile);
    Outcome outcome = RunTool(empty.Dir(), {"now"});
    QCOMPARE(outcome.code, 1);
    QVERIFY2(
        outcome.err.startsWith(QStringLiteral("sitemora-backup: no catalogue at ") + empty.Path()),
        qPrintable(outcome.err));

    TempCatalogue catalogue;
    QVERIFY(RunTool(catalogue.Dir(), {"now"}).code == 0);
    catalogue.AddSite(QStringLiteral("kept"));
    outcome = RunTool(catalogue.Dir(), {"restore", "2001-01-01T00-00-00.000Z.mdb"});
    QCOMPARE(outcome.code, 1);
    QVERIFY(outcome.err.startsWith(QLatin1String("sitemora-backup: there is no backup named")));
    QCOMPARE(catalogue.Count(QStringLiteral("SELECT count(*) FROM Web")), 1);
}

void TestBackupTool::siteDeletedByMistakeComesBack() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    const qint64 site = catalogue.AddSite(QStringLiteral("旧笔记"), QStringLiteral("http://a.cn"));
    catalogue.AddSite(QStringLiteral("other"));
    catalogue.AddParagraph(site, QStringLiteral("第一段"));
    catalogue.AddParagraph(site, QStringLiteral("第二段"));
    // Named from elsewhere, as --catalogue allows.
    Outcome outcome = RunTool(QDir::tempPath(), {"--catalogue", catalogue.Path(), "now"});
    QCOMPARE(outcome.code, 0);
    QVERIFY(outcome.out.startsWith(QLatin1String("wrote ") + catalogue.Path() + ".backups/"));

    QVERIFY(catalogue.Exec(QStringLiteral("DELETE FROM Content WHERE ContentWeb = ?"), {site}));
    QVERIFY(catalogue.Exec(QStringLiteral("DELETE FROM Web WHERE WebIndex = ?"), {site}));
    outcome = RunTool(catalogue.Dir(), {"list"});
    QCOMPARE(outcome.code, 0);
    QStringList lines = outcome.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].contains(QRegularExpression(
                 QStringLiteral("^\\S+Z\\.mdb  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  \\d+ "
                                "bytes  2 sites$"))),
             qPrintable(lines[0]));

    // As the shell completes it: with its folder.
    const QString name = lines[0].section(QLatin1Char(' '), 0, 0);
    outcome = RunTool(catalogue.Dir(), {"restore", "Sitemora.mdb.backups/" + name});
    QCOMPARE(outcome.code, 0);
    QCOMPARE(
        catalogue.ScalarText(QStringLiteral("SELECT WebName FROM Web WHERE WebIndex = ?"), {site}),
        QStringLiteral("旧笔记"));
    QCOMPARE(catalogue.Count(QStringLiteral("SELECT count(*) FROM Content WHERE ContentWeb = ?"),
                             {site}),
             2);
    // The catalogue as it was before the restore is the newest backup.
    lines = RunTool(catalogue.Dir(), {"list"}).out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith(QLatin1String(" 1 site")));
    QVERIFY(lines[1].startsWith(name));
}

QTEST_GUILESS_MAIN(TestBackupTool)
#include "tst_backup_tool.moc"
