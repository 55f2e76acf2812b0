// Runs sitemora-find as a user does, in the directory of a catalogue.
#include "Catalogue.h"
#include "FindBuild.h"
#include "support/RunProgram.h"
#include "support/TempCatalogue.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class FindToolTest : public QObject {
    Q_OBJECT

private slots:
    void PrintsTheSitesAndExitsLikeGrep();
    void ReadsTheIndexAndTheLatestChangesWithoutWriting();
};

namespace {

Outcome RunTool(const QString& dir, const QStringList& args) {
    return RunProgram(QStringLiteral(SITEMORA_FIND_TOOL), dir, args);
}

} // namespace

void FindToolTest::PrintsTheSitesAndExitsLikeGrep() {
    TempCatalogue catalogue;
    const qint64 site =
        catalogue.AddSite(QStringLiteral("示例站"), QStringLiteral("http://Ex.org"));
    catalogue.AddSite(QStringLiteral("另一站"));
    QVERIFY(catalogue.AddParagraph(site, QStringLiteral("网站密码已改\n第二行")) > 0);
    QVERIFY(catalogue.Exec(QStringLiteral("UPDATE Web SET WebKey1 = '暗号'")));

    Outcome outcome = RunTool(catalogue.Dir(), {QStringLiteral("密码")});
    QCOMPARE(outcome.code, 0);
    QCOMPARE(outcome.out, QStringLiteral("%1\t示例站\t段落 1\t网站密码已改 第二行\n").arg(site));

    outcome = RunTool(catalogue.Dir(),
                      {QStringLiteral("--json"), QStringLiteral("EX.ORG"), QStringLiteral("第二")});
    QCOMPARE(outcome.code, 0);
    const QJsonObject object = QJsonDocument::fromJson(outcome.out.toUtf8()).object();
    QCOMPARE(object.value(QStringLiteral("WebIndex")).toInteger(), site);
    QCOMPARE(object.value(QStringLiteral("where")).toString(), QStringLiteral("网站地址"));

    // Passwords are never searched: nothing found.
    outcome = RunTool(catalogue.Dir(), {QStringLiteral("暗号")});
    QCOMPARE(outcome.code, 1);
    QVERIFY(outcome.out.isEmpty());

    QCOMPARE(RunTool(catalogue.Dir(), {}).code, 2);
    outcome = RunTool(catalogue.Dir(), {QStringLiteral("--catalogue"), QStringLiteral("none.mdb"),
                                        QStringLiteral("x")});
    QCOMPARE(outcome.code, 2);
    QVERIFY(outcome.err.startsWith(QStringLiteral("sitemora-find: ")));
    QVERIFY(outcome.err.contains(QStringLiteral("none.mdb")));
}

void FindToolTest::ReadsTheIndexAndTheLatestChangesWithoutWriting() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite(QStringLiteral("站"));
    const qint64 paragraph = catalogue.AddParagraph(site, QStringLiteral("旧的笔记"));
    {
        Sqlite::Database db;
        QString error;
        QVERIFY(
            Catalogue::OpenExisting(catalogue.Path(), Catalogue::Access::ReadWrite, &db, &error));
        QCOMPARE(Find::KeepCurrent(db.Get(), catalogue.Path(), false, nullptr, &error),
                 Find::Progress::Idle);
    }
    // Changed by another program after the index last caught up.
    QVERIFY(catalogue.Exec(QStringLiteral("UPDATE Content SET ContentTxt = '新的笔记' WHERE "
                                          "ContentIndex = ?"),
                           {paragraph}));
    const QByteArray before = catalogue.Bytes();
    QCOMPARE(RunTool(catalogue.Dir(), {QStringLiteral("旧的")}).code, 1);
    QCOMPARE(RunTool(catalogue.Dir(), {QStringLiteral("新的")}).code, 0);
    QCOMPARE(catalogue.Bytes(), before);
}

QTEST_GUILESS_MAIN(FindToolTest)
#include "tst_find_tool.moc"
