#include "Appearance.h"
#include "WidgetDialogs.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

// The real message boxes: what they show and which button answers what.
class TestWidgetDialogs : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void titleFromExecutableName_data();
    void titleFromExecutableName();
    void informationHasOneOkButtonAndNoIcon();
    void confirmationDefaultsToYesAndHasNoOwner();
    void errorReportShowsAnErrorIcon();

private:
    // Runs `look` on the message box once it is up, then presses `answer`.
    void WhenBoxShows(std::function<void(QMessageBox*)> look, QMessageBox::StandardButton answer);
};

void TestWidgetDialogs::initTestCase() {
    ApplyAppearance(*qApp);
}

void TestWidgetDialogs::titleFromExecutableName_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("title");
    QTest::newRow("plain") << "sitemora"
                           << "sitemora";
    QTest::newRow("cut at the first full stop") << "SiteMora.App.exe"
                                                << "Sitemora";
    QTest::newRow("first letter kept") << "sITEMORA.exe"
                                       << "sitemora";
    QTest::newRow("chinese") << "网站ABC.bin"
                             << "网站abc";
    QTest::newRow("leading full stop") << ".hidden"
                                       << "";
}

void TestWidgetDialogs::titleFromExecutableName() {
    QFETCH(QString, file);
    QFETCH(QString, title);
    QCOMPARE(MessageTitleFor(file), title);
}

void TestWidgetDialogs::WhenBoxShows(std::function<void(QMessageBox*)> look,
                                     QMessageBox::StandardButton answer) {
    QTimer::singleShot(0, this, [this, look, answer] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            WhenBoxShows(look, answer);
            return;
        }
        look(box);
        box->button(answer)->click();
    });
}

void TestWidgetDialogs::informationHasOneOkButtonAndNoIcon() {
    WidgetDialogs dialogs;
    bool seen = false;
    WhenBoxShows(
        [&](QMessageBox* box) {
            seen = true;
            QCOMPARE(box->text(), QStringLiteral("记录修改成功"));
            QCOMPARE(box->windowTitle(), MessageTitle());
            QCOMPARE(box->icon(), QMessageBox::NoIcon);
            QCOMPARE(box->buttons().size(), 1);
            QCOMPARE(box->button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
            QCOMPARE(box->windowModality(), Qt::ApplicationModal);
        },
        QMessageBox::Ok);
    dialogs.Information(QStringLiteral("记录修改成功"));
    QVERIFY(seen);
}

void TestWidgetDialogs::confirmationDefaultsToYesAndHasNoOwner() {
    WidgetDialogs dialogs;
    WhenBoxShows(
        [](QMessageBox* box) {
            QCOMPARE(box->windowTitle(), QStringLiteral("删除确认"));
            QCOMPARE(box->text(), QStringLiteral("您确定要删除该记录吗？"));
            QCOMPARE(box->icon(), QMessageBox::NoIcon);
            QVERIFY(!box->parentWidget());
            QCOMPARE(box->defaultButton(), box->button(QMessageBox::Yes));
            // Qt's Chinese captions carry their access key, as "是(&Y)".
            QVERIFY(box->button(QMessageBox::Yes)->text().startsWith(QStringLiteral("是")));
            QVERIFY(box->button(QMessageBox::No)->text().startsWith(QStringLiteral("否")));
        },
        QMessageBox::Yes);
    QVERIFY(dialogs.Confirm(QStringLiteral("您确定要删除该记录吗？"), QStringLiteral("删除确认")));
    WhenBoxShows([](QMessageBox*) {}, QMessageBox::No);
    QVERIFY(!dialogs.Confirm(QStringLiteral("您确定要删除该记录吗？"), QStringLiteral("删除确认")));
}

void TestWidgetDialogs::errorReportShowsAnErrorIcon() {
    WidgetDialogs dialogs;
    WhenBoxShows(
        [](QMessageBox* box) {
            QCOMPARE(box->icon(), QMessageBox::Critical);
            QCOMPARE(box->text(), QStringLiteral("attempt to write a readonly database"));
            QCOMPARE(box->windowTitle(), MessageTitle());
        },
        QMessageBox::Ok);
    dialogs.ErrorReport(QStringLiteral("attempt to write a readonly database"));
}

QTEST_MAIN(TestWidgetDialogs)
#include "tst_widgetdialogs.moc"
