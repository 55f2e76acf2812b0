// The main window's keys, the list's right-click menu and what they run, and emoji drawn
// in the windows.
#include "Appearance.h"
#include "DataGrid.h"
#include "support/ProgramWindows.h"
#include "support/RealMouse.h"
#include "support/TempCatalogue.h"

#include <QApplication>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>

namespace {

struct Program : ProgramWindows {
    bool Show() {
        main.show();
        return QTest::qWaitForWindowActive(&main);
    }
    QTableView* View() { return main.DBGridEh1->View(); }
    QPoint RowCentre(int row) {
        return View()->visualRect(View()->model()->index(row, 1)).center();
    }
    qint64 CurrentSite() {
        return View()->model()->index(View()->currentIndex().row(), 0).data().toLongLong();
    }

    // Runs `steps` once `dialog` is the modal window, then closes it if they did not.
    void WhenModal(QDialog* dialog, const std::function<void()>& steps) {
        auto* timer = new QTimer(dialog);
        timer->setInterval(5);
        QObject::connect(timer, &QTimer::timeout, dialog, [=, tries = 0]() mutable {
            const bool shown = QApplication::activeModalWidget() == dialog;
            if (!shown && ++tries < 1000)
                return;
            timer->stop();
            timer->deleteLater();
            if (!shown)
                return;
            steps();
            if (dialog->isVisible())
                dialog->reject();
        });
        timer->start();
    }
};

// How many pixels of `image` are clearly coloured, not grey.
int ColouredPixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qMax(qAbs(c.red() - c.green()), qAbs(c.green() - c.blue())) > 60)
                ++count;
        }
    return count;
}

} // namespace

class TestMainKeys : public QObject {
    Q_OBJECT
private slots:
    void commands_data();
    void commands();
    void deleteKeyInThePaneDeletesNoSite();
    void menuShowsTheKeysAndNothingThatEdits();
    void tooltipsNameTheKeys();
    void emojiAreDrawnInColour();
};

void TestMainKeys::commands_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("byMenu");
    for (const char* command : {"删除记录", "搜索…", "刷新列表", "关于"}) {
        QTest::addRow("%s by key", command) << QString::fromUtf8(command) << false;
        QTest::addRow("%s from the menu", command) << QString::fromUtf8(command) << true;
    }
}

// Each command acts on the row that was current, whether reached by its key on the list
// or by a right-click on that row.
void TestMainKeys::commands() {
    QFETCH(QString, command);
    QFETCH(bool, byMenu);
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    const qint64 first = catalogue.AddSite(QStringLiteral("first"));
    const qint64 second = catalogue.AddSite(QStringLiteral("second"));
    catalogue.AddParagraph(second, QStringLiteral("note"));
    Program p;
    QVERIFY(p.Show());
    RealClick(p.View()->viewport(), p.RowCentre(1));
    QCOMPARE(p.CurrentSite(), second);

    bool searchShown = false;
    p.WhenModal(&p.search, [&] { searchShown = true; });
    p.dialogs.QueueYes();
    // Another copy adds a site meanwhile; only a refresh shows it.
    catalogue.AddSite(QStringLiteral("third"));

    QAction* action = nullptr;
    for (QAction* a : p.main.ListMenu()->actions())
        if (a->text() == command)
            action = a;
    QVERIFY(action);
    if (byMenu) {
        RealClick(p.View()->viewport(), p.RowCentre(1), Qt::RightButton);
        QMenu* menu = p.main.ListMenu();
        QTRY_VERIFY(menu->isVisible());
        RealClick(menu, menu->actionGeometry(action).center());
    } else {
        QTest::keyClick(p.View(), action->shortcut()[0].key(),
                        action->shortcut()[0].keyboardModifiers());
    }

    if (command == QStringLiteral("删除记录")) {
        QCOMPARE(p.dialogs.Confirmations().size(), 1);
        QCOMPARE(p.dialogs.Confirmations()[0].title, QStringLiteral("删除确认"));
        QCOMPARE(catalogue.Count("SELECT count(*) FROM Web WHERE WebIndex = ?", {second}), 0);
        QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);
        QCOMPARE(catalogue.Count("SELECT count(*) FROM Web WHERE WebIndex = ?", {first}), 1);
    } else if (command == QStringLiteral("搜索…")) {
        QTRY_VERIFY(searchShown);
    } else if (command == QStringLiteral("刷新列表")) {
        QCOMPARE(p.View()->model()->rowCount(), 3);
        QCOMPARE(p.CurrentSite(), second);
        QVERIFY(p.main.DetailsText().contains(QStringLiteral("note")));
    } else {
        QCOMPARE(p.dialogs.Informations().size(), 1);
        const QString about = p.dialogs.Informations()[0];
        QVERIFY2(about.startsWith(QStringLiteral("关于")), qPrintable(about));
        QVERIFY(about.contains(QStringLiteral(SITEMORA_VERSION)));
        QVERIFY(about.contains(QStringLiteral("GNU")));
        QVERIFY(about.contains(QFileInfo(catalogue.Path()).canonicalFilePath()));
        QVERIFY(about.contains(QFileInfo(catalogue.Path()).canonicalFilePath() +
                               QStringLiteral(".backups")));
    }
    if (command != QStringLiteral("删除记录"))
        QCOMPARE(p.dialogs.Confirmations().size(), 0);
    QVERIFY(!p.note.isVisible());
}

void TestMainKeys::deleteKeyInThePaneDeletesNoSite() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    catalogue.AddSite(QStringLiteral("kept"));
    Program p;
    QVERIFY(p.Show());
    p.dialogs.QueueYes();
    p.main.Memo1->setFocus();
    p.main.Memo1->moveCursor(QTextCursor::Start);
    QTest::keyClick(p.main.Memo1, Qt::Key_Delete);
    QCOMPARE(p.dialogs.Confirmations().size(), 0);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 1);
}

void TestMainKeys::menuShowsTheKeysAndNothingThatEdits() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    Program p;
    QVERIFY(p.Show());
    QStringList shown;
    for (QAction* a : p.main.ListMenu()->actions())
        if (!a->isSeparator())
            shown << a->text() + QLatin1Char(' ') + a->shortcut().toString();
    QCOMPARE(shown, (QStringList{"删除记录 Del", "搜索… Ctrl+Shift+F", "查找… Ctrl+F",
                                 "刷新列表 F5", "关于 F1"}));
    // Even on an empty list, a right-click opens the menu and nothing else.
    RealClick(p.View()->viewport(), QPoint(5, 5), Qt::RightButton);
    QTRY_VERIFY(p.main.ListMenu()->isVisible());
    p.main.ListMenu()->close();
    QVERIFY(!p.note.isVisible());
}

void TestMainKeys::tooltipsNameTheKeys() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    Program p;
    QVERIFY(
        p.main.findChild<QLabel*>("Image1")->toolTip().contains(QStringLiteral("Ctrl+Shift+F")));
    QVERIFY(
        p.main.findChild<QToolButton*>("Button2")->toolTip().contains(QStringLiteral("Delete")));
    QVERIFY(!p.main.findChild<QToolButton*>("Button1")->toolTip().isEmpty());
}

void TestMainKeys::emojiAreDrawnInColour() {
    QVERIFY2(QFontDatabase::families().contains(QStringLiteral("Noto Color Emoji")),
             "fonts-noto-color-emoji is not installed");
    QApplication::setFont(WindowFont());
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    const qint64 site = catalogue.AddSite(QStringLiteral("🌏🌏🌏"));
    catalogue.AddParagraph(site, QStringLiteral("🛠✅🛠✅"));
    Program p;
    QVERIFY(p.Show());
    const QRect cell = p.View()->visualRect(p.View()->model()->index(0, 1));
    QVERIFY(ColouredPixels(p.View()->viewport()->grab(cell).toImage()) > 50);
    QVERIFY(ColouredPixels(p.main.Memo1->grab().toImage()) > 100);

    int inEditor = 0;
    p.WhenModal(&p.note, [&] {
        inEditor = ColouredPixels(p.note.findChild<QLineEdit*>("WebName")->grab().toImage());
    });
    RealDoubleClick(p.View()->viewport(), cell.center());
    QVERIFY(inEditor > 50);
}

QTEST_MAIN(TestMainKeys)
#include "tst_mainkeys.moc"
