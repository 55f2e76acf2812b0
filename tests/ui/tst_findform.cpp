// The find window driven from the keyboard, as a user does: Ctrl+F in the main window,
// typing, Enter on a result, Escape.
#include "DataGrid.h"
#include "FindForm.h"
#include "support/ProgramWindows.h"
#include "support/TempCatalogue.h"

#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

class TestFindForm : public QObject {
    Q_OBJECT
private slots:
    void ctrlFTypeEnterShowsTheSiteInTheList();
};

namespace {

void Type(QWidget* box, const QString& text) {
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(c), Qt::NoModifier);
}

} // namespace

void TestFindForm::ctrlFTypeEnterShowsTheSiteInTheList() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    const qint64 first = catalogue.AddSite(QStringLiteral("第一站"));
    const qint64 second = catalogue.AddSite(QStringLiteral("第二站"));
    QVERIFY(catalogue.AddParagraph(second, QStringLiteral("网站密码已改")) > 0);
    ProgramWindows p;
    p.main.show();
    QVERIFY(QTest::qWaitForWindowActive(&p.main));
    // The list filter shows only the first site.
    p.search.NameFilter = QStringLiteral("第一");
    p.main.RefreshSiteList();
    QCOMPARE(p.main.ADOQuery1.AsInteger(QStringLiteral("WebIndex")), first);

    QTest::keyClick(p.main.DBGridEh1->View(), Qt::Key_F, Qt::ControlModifier);
    TFormFind* find = p.main.FormFind();
    QVERIFY(find);
    QTRY_VERIFY(find->isVisible());
    QVERIFY(!find->isModal());
    QCOMPARE(find->windowTitle(), QStringLiteral("查找"));
    QTRY_VERIFY(find->Edit1->hasFocus());
    Type(find->Edit1, QStringLiteral("密码"));
    QTRY_COMPARE(find->Label2->text(), QStringLiteral("找到 1 个网站"));
    QCOMPARE(find->ListView1->topLevelItemCount(), 1);
    const QTreeWidgetItem* row = find->ListView1->topLevelItem(0);
    QCOMPARE(row->text(0), QStringLiteral("第二站"));
    QCOMPARE(row->text(1), QStringLiteral("段落 1"));
    QCOMPARE(row->text(2), QStringLiteral("网站密码已改"));

    // Enter clears the filter that hid the site and makes it the current row.
    QTest::keyClick(find->Edit1, Qt::Key_Return);
    QCOMPARE(p.main.ADOQuery1.AsInteger(QStringLiteral("WebIndex")), second);
    QVERIFY(p.search.NameFilter.isEmpty());
    QVERIFY(p.main.DetailsText().contains(QStringLiteral("网站密码已改")));
    QVERIFY(find->isVisible());

    // A site stored after the list was opened: the list is opened again.
    const qint64 third = catalogue.AddSite(QStringLiteral("新站"), QStringLiteral("http://x.org"));
    find->Edit1->clear();
    Type(find->Edit1, QStringLiteral("X.ORG"));
    QTRY_COMPARE(find->Label2->text(), QStringLiteral("找到 1 个网站"));
    QTest::keyClick(find->ListView1, Qt::Key_Return);
    QCOMPARE(p.main.ADOQuery1.AsInteger(QStringLiteral("WebIndex")), third);

    QTest::keyClick(find->Edit1, Qt::Key_Escape);
    QVERIFY(!find->isVisible());
    QCOMPARE(p.dialogs.Shown(), 0);
}

QTEST_MAIN(TestFindForm)
#include "tst_findform.moc"
