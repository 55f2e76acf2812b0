#include "DataGrid.h"
#include "support/ProgramWindows.h"
#include "support/TempCatalogue.h"

#include <QProcess>
#include <QTableView>
#include <QTest>

// A catalogue brought over from the older file format opens in the main window like
// one the program wrote itself.
class TestImported : public QObject {
    Q_OBJECT
private slots:
    void mainWindowListsImportedSites_data();
    void mainWindowListsImportedSites();
};

void TestImported::mainWindowListsImportedSites_data() {
    QTest::addColumn<QString>("fixture");
    QTest::newRow("plain") << "catalog-jet4.mdb";
    QTest::newRow("compressed text") << "catalog-jet4-mixedcomp.mdb";
}

void TestImported::mainWindowListsImportedSites() {
    QFETCH(QString, fixture);
    const QString legacy = qEnvironmentVariable("SITEMORA_FIXTURES") + "/legacy/" + fixture;
    if (!QFile::exists(legacy))
        QSKIP("the legacy fixtures are not beside this checkout");
    TempCatalogue catalogue(TempCatalogue::Start::WithoutFile);
    QProcess import;
    import.start(SITEMORA_IMPORT_TOOL, {legacy, catalogue.Path()});
    QVERIFY(import.waitForFinished(60000));
    QVERIFY2(import.exitCode() == 0, import.readAllStandardError().constData());
    QVERIFY(catalogue.EnterDir());

    MainWindowFixture w;
    w.main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.main));

    QCOMPARE(w.dialogs.Shown(), 0);
    QAbstractItemModel* model = w.main.DBGridEh1->View()->model();
    QStringList indices;
    for (int row = 0; row < model->rowCount(); ++row)
        indices << model->index(row, 0).data().toString();
    QCOMPARE(indices, QStringList({"1", "2", "5", "17", "1000", "1001"}));
    QCOMPARE(w.main.DBGridEh1->FooterText(1), QStringLiteral("6"));
    QCOMPARE(w.main.DetailsText(),
             QStringLiteral("网站名称：示例门户网站\r\n\r\n网站地址：http://www.example.cn/\r\n\r\n"
                            "网站ＰＲ：新闻、邮箱\r\n\r\n第一行\r\n第二行\r\n第三行（CRLF）\r\n\r\n"
                            "LF 分隔\n第二行\n\n空行之后\r\n\r\n"));

    // A paragraph without a value shows as empty text; one without a site shows nowhere.
    QVERIFY(w.main.ADOQuery1.Locate("WebIndex", 1000));
    QCOMPARE(w.main.DetailsText(),
             QStringLiteral("网站名称：全部子页面\r\n\r\n网站地址：http://all.example.cn/\r\n\r\n"
                            "网站ＰＲ：测试\r\n\r\n\r\n\r\n自动编号的内容\r\n第二行\r\n\r\n"));
}

QTEST_MAIN(TestImported)
#include "tst_imported.moc"
