#include "support/ProgramWindows.h"
#include "support/TempCatalogue.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace {

const QString kCountSites = QStringLiteral("SELECT count(*) FROM Web");

// Runs `act` as soon as `dialog` is the active modal window, so that the caller can
// then make the call that shows it and returns when it closes.
void WhenShown(QDialog* dialog, std::function<void()> act) {
    auto* timer = new QTimer(dialog);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, dialog, [timer, dialog, act, tries = 0]() mutable {
        const bool shown = QApplication::activeModalWidget() == dialog;
        if (!shown && ++tries < 2000)
            return;
        timer->stop();
        timer->deleteLater();
        if (!shown)
            return;
        act();
        // A failed check inside `act` leaves it early; closing here keeps the run going.
        if (dialog->isVisible()) {
            dialog->reject();
            QFAIL("the dialog was left open");
        }
    });
    timer->start();
}

// The main window as start-up wires it, over the catalogue in the current directory.
struct Program : ProgramWindows {
    Program() { main.show(); }

    // Opens the dialog from the search picture and lets `act` end it.
    void Search(std::function<void()> act) {
        WhenShown(&search, std::move(act));
        main.Image1Click();
    }

    void Accept(const QString& name, const QString& url) {
        Search([&] {
            search.Edit1->setText(name);
            search.Edit2->setText(url);
            QTest::mouseClick(search.Button1, Qt::LeftButton);
        });
    }

    // Saves a name through the editor: a new site (`row` 0) or the listed site the
    // list has current, opened by double-click.
    void Save(int row, const QString& name) {
        WhenShown(&note, [&] {
            note.findChild<QLineEdit*>(QStringLiteral("WebName"))->setText(name);
            note.Button4Click();
        });
        if (row == 0)
            main.ActionNewExecute();
        else
            main.DBGridEh1DblClick();
    }

    QStringList Listed() const {
        QStringList names;
        const int column = main.ADOQuery1.FieldIndex(QStringLiteral("WebName"));
        for (int row = 0; row < main.ADOQuery1.RecordCount(); ++row)
            names << main.ADOQuery1.TextAt(row, column);
        return names;
    }
};

// Sites whose names and addresses hold what users type and what could upset a statement.
const QStringList kSites = {"Google",     "GOOGLE 学术", "新浪网",         "新浪微博", "McDonald's",
                            "Say \"Hi\"", "100% Pure",   "Drop Table Web", "Ärzte",    "无地址"};

void Fill(TempCatalogue& catalogue) {
    catalogue.AddSite("Google", "https://www.google.com/");
    catalogue.AddSite("GOOGLE 学术", "https://scholar.google.cn/");
    catalogue.AddSite("新浪网", "http://www.sina.com.cn/");
    catalogue.AddSite("新浪微博", "https://weibo.com/");
    catalogue.AddSite("McDonald's", "https://www.mcdonalds.com/?q='x'");
    catalogue.AddSite("Say \"Hi\"", "http://example.org/a\\b");
    catalogue.AddSite("100% Pure", "http://pure.example/a_b");
    catalogue.AddSite("Drop Table Web", "http://sql.example/?x=1 Or 1=1");
    catalogue.AddSite("Ärzte", "http://aerzte.example/");
    catalogue.Exec(QStringLiteral("INSERT INTO Web (WebName, WebUrl) VALUES ('无地址', NULL)"));
}

} // namespace

class TestSearch : public QObject {
    Q_OBJECT
private slots:
    void dialogLayout();
    void filters_data();
    void filters();
    void statementCarriesTheTextsAsValues();
    void filterStaysAfterSaveAndDelete();
    void cancelKeepsFilterAndTypedText();
    void keyboard();
};

void TestSearch::dialogLayout() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    Program p;
    TFormSearch& s = p.search;
    QCOMPARE(s.windowTitle(), QStringLiteral("FormSearch"));
    QCOMPARE(s.minimumSize(), QSize(361, 220));
    QCOMPARE(s.maximumSize(), QSize(361, 220));
    const Qt::WindowFlags flags = s.windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                       Qt::WindowContextHelpButtonHint)));
    QCOMPARE(s.Edit1->text(), QString());
    QCOMPARE(s.Edit2->text(), QString());
    QCOMPARE(s.Edit1->geometry(), QRect(144, 51, 145, 20));
    QCOMPARE(s.Edit2->geometry(), QRect(144, 91, 145, 20));
    const QList<QLabel*> labels = s.findChildren<QLabel*>();
    QCOMPARE(labels.size(), 2);
    for (const QLabel* label : labels) {
        const bool name = label->text() == QStringLiteral("网站名称：");
        QVERIFY(name || label->text() == QStringLiteral("网站地址："));
        QCOMPARE(label->geometry(), QRect(56, name ? 48 : 88, 81, 25));
        QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    }
    QCOMPARE(s.Button1->text(), QStringLiteral("确定"));
    QCOMPARE(s.Button2->text(), QStringLiteral("取消"));
    for (const QPushButton* button : {s.Button1, s.Button2}) {
        QCOMPARE(button->size(), QSize(75, 25));
        QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(!button->autoDefault());
    }
    QCOMPARE(s.Button1->pos(), QPoint(96, 144));
    QCOMPARE(s.Button2->pos(), QPoint(192, 144));

    p.main.move(100, 80);
    p.Search([&] {
        // Within the pixel that halving an odd difference of sizes loses.
        const QPoint offset = s.frameGeometry().center() - p.main.frameGeometry().center();
        QVERIFY2(offset.manhattanLength() <= 1, qPrintable(QString::number(offset.y())));
        QVERIFY(!s.Button1->isDefault() && !s.Button2->isDefault());
        s.close();
    });
}

void TestSearch::filters_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("both empty") << ""
                                << "" << kSites;
    QTest::newRow("name only") << "新浪"
                               << "" << QStringList{"新浪网", "新浪微博"};
    QTest::newRow("address only") << ""
                                  << "weibo" << QStringList{"新浪微博"};
    QTest::newRow("both must match") << "google"
                                     << "scholar" << QStringList{"GOOGLE 学术"};
    QTest::newRow("name ignores latin case") << "gOoGlE"
                                             << "" << QStringList{"Google", "GOOGLE 学术"};
    QTest::newRow("address ignores latin case") << ""
                                                << "WWW.GOOGLE" << QStringList{"Google"};
    QTest::newRow("chinese exact") << "浪网"
                                   << "" << QStringList{"新浪网"};
    QTest::newRow("chinese with a space") << "新 浪"
                                          << "" << QStringList();
    QTest::newRow("other letters keep case") << "ärzte"
                                             << "" << QStringList();
    QTest::newRow("single quote in a name") << "McDonald's"
                                            << "" << QStringList{"McDonald's"};
    QTest::newRow("lone single quote") << "'"
                                       << "" << QStringList{"McDonald's"};
    QTest::newRow("quoted address") << ""
                                    << "'x'" << QStringList{"McDonald's"};
    QTest::newRow("double quotes") << "\"Hi\""
                                   << "" << QStringList{"Say \"Hi\""};
    QTest::newRow("lone double quote") << "\""
                                       << "" << QStringList{"Say \"Hi\""};
    QTest::newRow("percent") << "%"
                             << "" << QStringList{"100% Pure"};
    QTest::newRow("percent is no wildcard") << ""
                                            << "%" << QStringList();
    QTest::newRow("underscore") << ""
                                << "_" << QStringList{"100% Pure"};
    QTest::newRow("underscore is no wildcard") << "_"
                                               << "" << QStringList();
    QTest::newRow("backslash") << ""
                               << "\\b" << QStringList{"Say \"Hi\""};
    QTest::newRow("sql words") << "Drop Table"
                               << "1 Or 1=1" << QStringList{"Drop Table Web"};
    QTest::newRow("always-true text") << "' Or 1=1 Or '"
                                      << "" << QStringList();
    QTest::newRow("statement breaker") << "')); Drop Table Web; --"
                                       << "" << QStringList();
    QTest::newRow("comment opener") << "/*"
                                    << "--" << QStringList();
    QTest::newRow("address without value never matches")
        << ""
        << "http" << kSites.mid(0, kSites.size() - 1);
    QTest::newRow("nothing matches") << "zzz"
                                     << "" << QStringList();
}

void TestSearch::filters() {
    QFETCH(QString, name);
    QFETCH(QString, url);
    QFETCH(QStringList, expected);
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    Fill(catalogue);
    Program p;
    QCOMPARE(p.Listed(), kSites);

    p.Accept(name, url);
    QCOMPARE(p.search.NameFilter, name);
    QCOMPARE(p.search.UrlFilter, url);
    QCOMPARE(p.Listed(), expected);
    QCOMPARE(p.dialogs.Informations(), QStringList());
    QCOMPARE(catalogue.Count(kCountSites), qint64(kSites.size()));
    if (expected.isEmpty())
        QCOMPARE(p.main.DetailsText(), QString());
    else
        QVERIFY(p.main.DetailsText().startsWith(QStringLiteral("网站名称：") + expected.first()));
}

void TestSearch::statementCarriesTheTextsAsValues() {
    TFormSearch search;
    QVariantList parameters;
    QCOMPARE(search.FilterClauses(&parameters), QString());
    QVERIFY(parameters.isEmpty());

    search.UrlFilter = QStringLiteral("a'b");
    QCOMPARE(search.FilterClauses(&parameters), QStringLiteral(" And (InStr(WebUrl,?))"));
    QCOMPARE(parameters, QVariantList{QStringLiteral("a'b")});

    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    Program p;
    p.Accept(QStringLiteral("名'"), QStringLiteral("url"));
    QCOMPARE(p.main.ADOQuery1.Sql(),
             QStringLiteral("Select * From Web Where (WebIndex > 0) And (InStr(WebName,?)) And "
                            "(InStr(WebUrl,?)) Order By WebIndex"));
}

void TestSearch::filterStaysAfterSaveAndDelete() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    Fill(catalogue);
    Program p;
    p.Accept(QStringLiteral("新浪"), QString());
    QCOMPARE(p.Listed(), (QStringList{"新浪网", "新浪微博"}));

    // New sites saved from the editor: only the matching one joins the list.
    p.Save(0, QStringLiteral("新浪新闻"));
    QCOMPARE(p.Listed(), (QStringList{"新浪网", "新浪微博", "新浪新闻"}));
    p.Save(0, QStringLiteral("搜狐"));
    QCOMPARE(p.Listed(), (QStringList{"新浪网", "新浪微博", "新浪新闻"}));
    // An edited site that no longer matches leaves it.
    p.main.ADOQuery1.MoveTo(1);
    p.Save(1, QStringLiteral("微博"));
    QCOMPARE(p.Listed(), (QStringList{"新浪网", "新浪新闻"}));
    QVERIFY(!p.dialogs.Informations().contains(QStringLiteral("数据库打开失败")));
    QCOMPARE(p.dialogs.Errors(), QStringList());
    p.dialogs.Clear();

    p.dialogs.QueueYes();
    p.main.ActionDeleteExecute();
    QCOMPARE(p.dialogs.Informations(), QStringList{QStringLiteral("记录删除成功")});
    QCOMPARE(p.Listed(), QStringList{"新浪新闻"});

    // Accepting with the box emptied lifts the filter.
    p.Accept(QString(), QString());
    QCOMPARE(p.Listed().size(), kSites.size() + 1);
    QVERIFY(p.Listed().contains(QStringLiteral("微博")));
}

void TestSearch::cancelKeepsFilterAndTypedText() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    Fill(catalogue);
    Program p;
    p.Accept(QStringLiteral("新浪"), QString());
    p.main.ADOQuery1.MoveTo(1);

    int result = 0;
    WhenShown(&p.search, [&] {
        QCOMPARE(p.search.Edit1->text(), QStringLiteral("新浪"));
        p.search.Edit1->clear();
        QTest::keyClicks(p.search.Edit1, "google");
        QTest::keyClicks(p.search.Edit2, "scholar");
        QTest::mouseClick(p.search.Button2, Qt::LeftButton);
    });
    result = p.search.exec();
    QCOMPARE(result, 2);

    // The close box cancels the same way, and so does the dialog being hidden.
    WhenShown(&p.search, [&] {
        QCloseEvent event;
        QCoreApplication::sendEvent(p.search.windowHandle(), &event);
    });
    QCOMPARE(p.search.exec(), 2);
    WhenShown(&p.search, [&] { p.search.hide(); });
    QCOMPARE(p.search.exec(), 2);

    p.Search([&] { p.search.close(); });
    QCOMPARE(p.search.NameFilter, QStringLiteral("新浪"));
    QCOMPARE(p.search.UrlFilter, QString());
    QCOMPARE(p.search.Edit1->text(), QStringLiteral("google"));
    QCOMPARE(p.search.Edit2->text(), QStringLiteral("scholar"));
    // Not refreshed: a refresh would have gone back to the first row.
    QCOMPARE(p.main.ADOQuery1.RecNo(), 1);
    QCOMPARE(p.Listed(), (QStringList{"新浪网", "新浪微博"}));
    QCOMPARE(p.dialogs.Shown(), 0);
}

void TestSearch::keyboard() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    Fill(catalogue);
    Program p;
    TFormSearch& s = p.search;

    int result = 0;
    WhenShown(&s, [&] {
        QCOMPARE(s.focusWidget(), s.Edit1);
        for (const QChar ch : QStringLiteral("新浪"))
            QTest::sendKeyEvent(QTest::Click, s.Edit1, Qt::Key_unknown, QString(ch),
                                Qt::NoModifier);
        for (QWidget* box : {static_cast<QWidget*>(s.Edit1), static_cast<QWidget*>(s.Edit2)}) {
            QTest::keyClick(box, Qt::Key_Return);
            QTest::keyClick(box, Qt::Key_Enter, Qt::KeypadModifier);
            QTest::keyClick(box, Qt::Key_Escape);
        }
        QTest::keyClick(&s, Qt::Key_Escape);
        QCoreApplication::processEvents();
        QVERIFY(s.isVisible());
        QCOMPARE(s.NameFilter, QString());

        QTest::keyClick(s.focusWidget(), Qt::Key_Tab);
        QCOMPARE(s.focusWidget(), s.Edit2);
        QTest::keyClick(s.focusWidget(), Qt::Key_Tab);
        QCOMPARE(s.focusWidget(), s.Button1);
        QTest::keyClick(s.Button1, Qt::Key_Return);
    });
    result = s.exec();
    QCOMPARE(result, 1);
    QCOMPARE(s.NameFilter, QStringLiteral("新浪"));

    // The next showing starts on the button that closed the dialog; Enter there presses it.
    WhenShown(&s, [&] {
        QCOMPARE(s.focusWidget(), s.Button1);
        QTest::keyClick(s.Button1, Qt::Key_Tab);
        QCOMPARE(s.focusWidget(), s.Button2);
        QTest::keyClick(s.Button2, Qt::Key_Enter, Qt::KeypadModifier);
    });
    result = s.exec();
    QCOMPARE(result, 2);

    WhenShown(&s, [&] {
        QCOMPARE(s.focusWidget(), s.Button2);
        QTest::keyClick(s.Button2, Qt::Key_Tab);
        QCOMPARE(s.focusWidget(), s.Edit1);
        s.close();
    });
    QCOMPARE(s.exec(), 2);
    QCOMPARE(p.dialogs.Shown(), 0);
}

QTEST_MAIN(TestSearch)
#include "tst_search.moc"
