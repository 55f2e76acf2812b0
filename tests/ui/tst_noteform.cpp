#include "support/TempCatalogue.h"
#include "tst_noteform_harness.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QTemporaryFile>
#include <QTimer>

// The site record half of the editor: layout, keyboard, showing, OK, cancel and the
// hand-off of addresses to the desktop.
class TestNoteForm : public QObject {
    Q_OBJECT
private slots:
    void layoutMatchesTheForm();
    void tabOrder();
    void centredOnTheOwnerAtEveryShowing();
    void enterAndEscapeInABoxDoNothing();
    void enterPressesOnlyTheFocusedButton();
    void closeBoxAndExecGiveOnlyOneOrTwo();
    void showingFillsOrEmptiesTheBoxes();
    void newSiteStoresAll25Columns();
    void existingSiteIsRewrittenAndConfirmed();
    void emptyNameIsRefusedAndSpacesAreAName();
    void cancelWritesNothing();
    void anyTextRoundTripsThroughAllBoxes();
    void siteDeletedElsewhereWhileOpen();
    void sameBoxChangedByAnotherCopyIsAsked_data();
    void sameBoxChangedByAnotherCopyIsAsked();
    void failedShowingDoesNotCarryAnotherSitesTexts();
    void failedOkKeepsTheEditorOpen();
    void openButtonsHandOverTheExactText();
    void desktopUrlForTypedTexts();
};

void TestNoteForm::layoutMatchesTheForm() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(0));
    QCOMPARE(e.form.windowTitle(), QStringLiteral("FormNote"));
    QCOMPARE(e.form.size(), QSize(804, 550));
    QCOMPARE(e.form.minimumSize(), e.form.maximumSize());
    const Qt::WindowFlags flags = e.form.windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(flags & Qt::WindowSystemMenuHint);
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                       Qt::WindowContextHelpButtonHint)));

    // Every label, by its text and place; "页面地址：" sits on each of the eight rows.
    const QStringList sub{"一", "二", "三", "四", "五", "六", "七", "八"};
    QMultiMap<QString, QPoint> labels{{"网站名称：", {24, 24}},
                                      {"网站地址：", {248, 24}},
                                      {"网站ＰＲ：", {24, 56}},
                                      {"网站帐号：", {248, 56}},
                                      {"内容编辑：", {248, 352}}};
    for (int n = 1; n <= 8; ++n) {
        labels.insert(QStringLiteral("子页面%1：").arg(sub[n - 1]), {24, 88 + 32 * (n - 1)});
        labels.insert("页面地址：", {248, 88 + 32 * (n - 1)});
    }
    const QList<QLabel*> found = e.form.findChildren<QLabel*>(QRegularExpression("^Label"));
    QCOMPARE(found.size(), labels.size());
    for (QLabel* label : found) {
        QVERIFY2(labels.contains(label->text(), label->pos()), qPrintable(label->text()));
        QCOMPARE(label->size(), QSize(65, 21));
        QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignVCenter);
    }

    // Boxes one pixel below their row top, 20 high, with no length limit.
    const QMap<QString, QRect> boxes{{"WebName", {96, 25, 137, 20}}, {"WebUrl", {320, 25, 393, 20}},
                                     {"WebPr", {96, 57, 137, 20}},   {"User1", {320, 57, 73, 20}},
                                     {"Key1", {400, 57, 65, 20}},    {"User2", {480, 57, 73, 20}},
                                     {"Key2", {560, 57, 65, 20}},    {"User3", {640, 57, 65, 20}},
                                     {"Key3", {712, 57, 65, 20}}};
    for (auto it = boxes.begin(); it != boxes.end(); ++it)
        QCOMPARE(e.Box(it.key())->geometry(), it.value());
    for (int n = 1; n <= 8; ++n) {
        const int y = 88 + 32 * (n - 1) + 1;
        QCOMPARE(e.Box(QStringLiteral("SonName%1").arg(n))->geometry(), QRect(96, y, 137, 20));
        QCOMPARE(e.Box(QStringLiteral("SonPage%1").arg(n))->geometry(), QRect(320, y, 393, 20));
        QPushButton* open = e.Button(QStringLiteral("Button%1").arg(6 + n));
        QCOMPARE(open->geometry(), QRect(728, y, 49, 20));
        QCOMPARE(open->text(), QStringLiteral("Open"));
    }
    QCOMPARE(e.Button("Button6")->geometry(), QRect(728, 25, 49, 20));
    QCOMPARE(e.Button("Button6")->text(), QStringLiteral("Open"));
    for (const auto& [box, column] : BoxColumns()) {
        QCOMPARE(e.Box(box)->maxLength(), std::numeric_limits<int>::max());
        QVERIFY(e.Box(box)->echoMode() == QLineEdit::Normal);
    }

    const QList<std::tuple<QString, QString, QRect>> buttons{
        {"Button4", "确定", {408, 496, 75, 25}}, {"Button15", "取消", {552, 496, 75, 25}},
        {"Button1", "新增", {728, 352, 49, 25}}, {"Button2", "修改", {728, 384, 49, 25}},
        {"Button3", "删除", {728, 416, 49, 25}}, {"Button5", "清空", {728, 448, 49, 25}}};
    for (const auto& [name, text, rect] : buttons) {
        QCOMPARE(e.Button(name)->text(), text);
        QCOMPARE(e.Button(name)->geometry(), rect);
    }
    const QList<QPushButton*> all = e.form.findChildren<QPushButton*>();
    QCOMPARE(all.size(), 15);
    for (QPushButton* button : all) {
        QCOMPARE(button->cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(!button->autoDefault());
        QVERIFY(!button->isDefault());
    }

    QCOMPARE(e.form.DBGridEh1->geometry(), QRect(96, 352, 137, 125));
    QCOMPARE(e.form.Memo1->geometry(), QRect(320, 352, 393, 125));
    QCOMPARE(e.form.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(e.form.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(e.form.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QAbstractItemModel* model = e.Grid()->model();
    QCOMPARE(model->columnCount(), 1);
    QCOMPARE(model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("段落内容"));
    QCOMPARE(e.Grid()->columnWidth(0), 100);
    QCOMPARE(e.Grid()->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(e.Grid()->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(e.Footer(), QStringLiteral("0"));
}

void TestNoteForm::tabOrder() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(0));
    QStringList expected{"WebName", "WebUrl", "WebPr", "Button6", "User1",
                         "Key1",    "User2",  "Key2",  "User3",   "Key3"};
    for (int n = 1; n <= 8; ++n)
        expected << QStringLiteral("SonName%1").arg(n) << QStringLiteral("SonPage%1").arg(n)
                 << QStringLiteral("Button%1").arg(6 + n);
    expected << "DBGridEh1"
             << "Button1"
             << "Button2"
             << "Button3"
             << "Button5"
             << "Memo1"
             << "Button4"
             << "Button15"
             << "WebName";
    QCOMPARE(QApplication::focusWidget(), e.Box("WebName"));
    QStringList walked{"WebName"};
    for (int i = 1; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focus = QApplication::focusWidget();
        walked << (focus == e.Grid() ? QStringLiteral("DBGridEh1") : focus->objectName());
    }
    QCOMPARE(walked, expected);
}

void TestNoteForm::centredOnTheOwnerAtEveryShowing() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    e.owner.setGeometry(100, 80, 762, 493);
    e.owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&e.owner));
    for (const QPoint& at : {QPoint(100, 80), QPoint(300, 200)}) {
        e.owner.move(at);
        QVERIFY(e.Show(0));
        QCOMPARE(e.form.frameGeometry().center(), e.owner.frameGeometry().center());
        e.Click("Button15");
    }
}

void TestNoteForm::enterAndEscapeInABoxDoNothing() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("name");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    QLineEdit* name = e.Box("WebName");
    name->setFocus();
    QTest::keyClicks(name, "changed");
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        QTest::keyClick(name, key);
        QVERIFY(e.Open());
        QCOMPARE(QApplication::focusWidget(), name);
    }
    // Escape anywhere else does nothing either.
    QTest::keyClick(e.form.Memo1, Qt::Key_Escape);
    QTest::keyClick(e.Grid(), Qt::Key_Escape);
    QTest::keyClick(e.Grid(), Qt::Key_Return);
    QVERIFY(e.Open());
    QCOMPARE(e.dialogs.Shown(), 0);
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("name"));

    // In the text area Enter makes a line break.
    e.form.Memo1->setFocus();
    QTest::keyClicks(e.form.Memo1, "one");
    QTest::keyClick(e.form.Memo1, Qt::Key_Return);
    QTest::keyClicks(e.form.Memo1, "two");
    QCOMPARE(e.Memo(), QStringLiteral("one\ntwo"));
    QVERIFY(e.Open());
}

void TestNoteForm::enterPressesOnlyTheFocusedButton() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("name", "  http://a.cn/ ");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.Button("Button6")->setFocus();
    QTest::keyClick(e.Button("Button6"), Qt::Key_Return);
    QCOMPARE(e.opener.Opened(), QStringList{"  http://a.cn/ "});
    QVERIFY(e.Open());
    e.Button("Button4")->setFocus();
    QTest::keyClick(e.Button("Button4"), Qt::Key_Enter, Qt::KeypadModifier);
    QVERIFY(!e.Open());
    QCOMPARE(e.Result(), 1);
    QCOMPARE(e.dialogs.Informations(), QStringList{"记录修改成功"});
}

void TestNoteForm::closeBoxAndExecGiveOnlyOneOrTwo() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("name");
    catalogue.AddParagraph(0, "orphan");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    e.owner.show();

    // Through exec(), as the main window shows it: the close box gives 2.
    e.form.EditIndex = site;
    bool acted = false;
    QTimer::singleShot(0, &e.form, [&] {
        acted = QTest::qWaitFor([&] { return QApplication::activeModalWidget() == &e.form; });
        QTest::keyClick(e.Box("WebName"), Qt::Key_Escape);
        acted = acted && e.Open();
        e.Box("WebName")->setText("not stored");
        e.CloseBox();
    });
    QCOMPARE(e.form.exec(), 2);
    QVERIFY(acted);
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("name"));
    // The closing removed the orphan even though the site was not a new one.
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);

    QTimer::singleShot(0, &e.form, [&] {
        (void)QTest::qWaitFor([&] { return QApplication::activeModalWidget() == &e.form; });
        e.Click("Button4");
    });
    QCOMPARE(e.form.exec(), 1);

    // reject(), whoever calls it, is a cancel too.
    QTimer::singleShot(0, &e.form, [&] {
        (void)QTest::qWaitFor([&] { return QApplication::activeModalWidget() == &e.form; });
        e.form.reject();
    });
    QCOMPARE(e.form.exec(), 2);
}

void TestNoteForm::showingFillsOrEmptiesTheBoxes() {
    TempCatalogue catalogue;
    const qint64 first = catalogue.AddSite("first", "http://1/", "5");
    const qint64 second = catalogue.AddSite("second");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(first));
    QCOMPARE(e.Box("WebName")->text(), QStringLiteral("first"));
    QCOMPARE(e.Box("WebUrl")->text(), QStringLiteral("http://1/"));
    QCOMPARE(e.Box("WebPr")->text(), QStringLiteral("5"));
    QCOMPARE(QApplication::focusWidget(), e.Box("WebName"));
    e.Box("Key3")->setFocus();
    e.Click("Button15");

    // Columns without a value read as empty text.
    QVERIFY(e.Show(second));
    QCOMPARE(e.Box("WebUrl")->text(), QString());
    QCOMPARE(QApplication::focusWidget(), e.Box("WebName"));
    e.Click("Button15");

    // A site that is gone shows nothing of the site shown before.
    QVERIFY(e.Show(first));
    e.Click("Button15");
    QVERIFY(e.Show(999));
    QCOMPARE(e.Box("WebName")->text(), QString());
    e.Click("Button15");

    QVERIFY(e.Show(0));
    for (const auto& [box, column] : BoxColumns())
        QVERIFY(e.Box(box)->text().isEmpty());
    QCOMPARE(e.dialogs.Shown(), 0);
}

void TestNoteForm::newSiteStoresAll25Columns() {
    TempCatalogue catalogue;
    catalogue.AddSite("existing");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(0));
    for (const auto& [box, column] : BoxColumns())
        e.Box(box)->setText(QStringLiteral("value of ") + column);
    e.Click("Button4");
    QVERIFY(!e.Open());
    QCOMPARE(e.Result(), 1);
    QCOMPARE(e.dialogs.Shown(), 0);
    QCOMPARE(e.form.EditIndex, 0);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 2);
    for (const auto& [box, column] : BoxColumns())
        QCOMPARE(catalogue.ScalarText(
                     QStringLiteral("SELECT %1 FROM Web WHERE WebIndex = 2").arg(column)),
                 QStringLiteral("value of ") + column);
}

void TestNoteForm::existingSiteIsRewrittenAndConfirmed() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("old", "http://old/");
    const qint64 other = catalogue.AddSite("other", "http://other/");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.Box("WebUrl")->selectAll();
    QTest::keyClicks(e.Box("WebUrl"), "http://new/");
    e.Box("SonPage8")->setText("p8");
    e.Click("Button4");
    QCOMPARE(e.Result(), 1);
    QCOMPARE(e.dialogs.Informations(), QStringList{"记录修改成功"});
    QCOMPARE(e.form.EditIndex, int(site));
    QCOMPARE(catalogue.ScalarText("SELECT WebUrl FROM Web WHERE WebIndex = ?", {site}),
             QStringLiteral("http://new/"));
    QCOMPARE(catalogue.ScalarText("SELECT WebSonPage8 FROM Web WHERE WebIndex = ?", {site}),
             QStringLiteral("p8"));
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = ?", {site}),
             QStringLiteral("old"));
    QCOMPARE(catalogue.ScalarText("SELECT WebUrl FROM Web WHERE WebIndex = ?", {other}),
             QStringLiteral("http://other/"));
}

void TestNoteForm::emptyNameIsRefusedAndSpacesAreAName() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("named", "u");
    catalogue.AddParagraph(site, "kept paragraph");
    QVERIFY(catalogue.EnterDir());

    for (int editIndex : {int(site), 0}) {
        const QString storedUrl = catalogue.ScalarText("SELECT WebUrl FROM Web");
        EditorFixture e;
        QVERIFY(e.Show(editIndex));
        e.Box("WebName")->clear();
        e.Box("WebUrl")->setText("typed url");
        e.SetMemo("typed paragraph");
        e.Box("Key2")->setFocus();
        e.Click("Button4");
        QVERIFY(e.Open());
        QCOMPARE(e.dialogs.Informations(), QStringList{"网站名称不能为空"});
        QCOMPARE(QApplication::focusWidget(), e.Box("WebName"));
        QCOMPARE(e.Box("WebUrl")->text(), QStringLiteral("typed url"));
        QCOMPARE(e.Memo(), QStringLiteral("typed paragraph"));
        QCOMPARE(e.Rows(), editIndex ? 1 : 0);
        QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 1);
        QCOMPARE(catalogue.ScalarText("SELECT WebUrl FROM Web"), storedUrl);

        // Spaces are a name like any other.
        e.Box("WebName")->setText("   ");
        e.Click("Button4");
        QVERIFY(!e.Open());
        QCOMPARE(e.Result(), 1);
    }
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web WHERE WebName = '   '"), 2);
}

void TestNoteForm::cancelWritesNothing() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("name", "url", "pr");
    QVERIFY(catalogue.EnterDir());
    for (int editIndex : {int(site), 0}) {
        EditorFixture e;
        QVERIFY(e.Show(editIndex));
        for (const auto& [box, column] : BoxColumns())
            e.Box(box)->setText("changed");
        e.Click("Button15");
        QVERIFY(!e.Open());
        QCOMPARE(e.Result(), 2);
        QCOMPARE(e.dialogs.Shown(), 0);
    }
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 1);
    QCOMPARE(catalogue.ScalarText("SELECT WebName || WebUrl || WebPr FROM Web"),
             QStringLiteral("nameurlpr"));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web WHERE WebUser1 IS NOT NULL"), 0);
}

void TestNoteForm::anyTextRoundTripsThroughAllBoxes() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    const QStringList samples{
        QStringLiteral("中文网站 'quoted' \"double\" ; DROP TABLE Web; --"),
        QStringLiteral("🙂👍🏽 e\u0301 \u00a0nbsp\u00a0 \u200b zero-width مرحبا"),
        QStringLiteral("\ttab\\back%_wild' OR '1'='1"),
        QString(100000, QChar(u'长')) + QStringLiteral("end"),
        QStringLiteral("  surrounded by spaces  "),
    };
    EditorFixture e;
    QVERIFY(e.Show(0));
    int i = 0;
    QMap<QString, QString> typed;
    for (const auto& [box, column] : BoxColumns()) {
        typed[column] = samples[i % samples.size()] + QString::number(i);
        ++i;
        e.Box(box)->setText(typed[column]);
    }
    e.Click("Button4");
    QCOMPARE(e.Result(), 1);
    for (auto it = typed.begin(); it != typed.end(); ++it)
        QCOMPARE(catalogue.ScalarBytes(QStringLiteral("SELECT %1 FROM Web").arg(it.key())),
                 it.value().toUtf8());

    // Read back into the boxes and stored again, nothing changes.
    for (const auto& [box, column] : BoxColumns())
        e.Box(box)->clear();
    QVERIFY(e.Show(1));
    for (const auto& [box, column] : BoxColumns())
        QCOMPARE(e.Box(box)->text(), typed[column]);
    e.Click("Button4");
    for (auto it = typed.begin(); it != typed.end(); ++it)
        QCOMPARE(catalogue.ScalarText(QStringLiteral("SELECT %1 FROM Web").arg(it.key())),
                 it.value());
}

void TestNoteForm::siteDeletedElsewhereWhileOpen() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("doomed", "http://doomed/");
    const qint64 paragraph = catalogue.AddParagraph(site, "text");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    // Another running copy deletes the site and its paragraph.
    QVERIFY(catalogue.Exec("DELETE FROM Content"));
    QVERIFY(catalogue.Exec("DELETE FROM Web"));

    // The list still shows the paragraph; changing it says it is gone and stores nothing.
    e.SetMemo("changed");
    e.Click("Button2");
    QCOMPARE(e.dialogs.Informations(), QStringList{"该段落已不存在，修改未保存"});
    QCOMPARE(e.dialogs.Errors(), QStringList());
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);
    QVERIFY(e.Open());
    e.dialogs.Clear();

    // No paragraph is stored under a site that is gone.
    e.SetMemo("added meanwhile");
    e.Click("Button1");
    QCOMPARE(e.dialogs.Informations(), QStringList{"该网站已不存在，段落未保存"});
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);
    e.dialogs.Clear();

    // OK says so and keeps the texts; stored again only as a new site, when asked to.
    e.Box("WebName")->setText("revived");
    e.dialogs.QueueNo();
    e.Click("Button4");
    QVERIFY(e.Open());
    QCOMPARE(e.dialogs.Confirmations().size(), 1);
    QCOMPARE(e.dialogs.Confirmations().first().text,
             QStringLiteral("该网站已不存在。是否把这些内容存为新网站？"));
    QCOMPARE(e.Box("WebName")->text(), QStringLiteral("revived"));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 0);
    e.dialogs.QueueYes();
    e.Click("Button4");
    QVERIFY(!e.Open());
    QCOMPARE(e.Result(), 1);
    QCOMPARE(
        catalogue.ScalarText("SELECT WebName || ' ' || WebUrl FROM Web WHERE WebIndex > ?", {site}),
        QStringLiteral("revived http://doomed/"));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentIndex = ?", {paragraph}),
             0);
}

// Two running copies edit one site: each stores only the boxes its user changed, and
// asks before storing over what the other changed.
void TestNoteForm::sameBoxChangedByAnotherCopyIsAsked_data() {
    QTest::addColumn<bool>("overwrite");
    QTest::newRow("overwrite") << true;
    QTest::newRow("keep the other's") << false;
}

void TestNoteForm::sameBoxChangedByAnotherCopyIsAsked() {
    QFETCH(bool, overwrite);
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site", "http://old/", "1");
    QVERIFY(catalogue.EnterDir());
    EditorFixture b;
    QVERIFY(b.Show(site));
    // Another copy changes the name, the address and the third sub-page address
    // meanwhile. The name, which this editor leaves as it was, stays without asking.
    QVERIFY(catalogue.Exec("UPDATE Web SET WebName = 'a', WebUrl = 'http://a/', "
                           "WebSonPage3 = 'a3'"));
    b.Box("WebUrl")->setText("http://b/");
    b.Box("SonPage3")->setText("b3");
    b.Box("WebPr")->setText("2");
    bool writable = false;
    b.dialogs.whileShown = [&] { writable = catalogue.WritableNow(); };
    b.dialogs.QueueAnswers({overwrite});
    b.Click("Button4");
    QCOMPARE(b.dialogs.Confirmations().size(), 1);
    QCOMPARE(b.dialogs.Confirmations().first().text,
             QStringLiteral("以下内容在您编辑期间已被修改：网站地址、页面地址 3。\n"
                            "是否用您填写的内容覆盖？"));
    QVERIFY(writable);
    QCOMPARE(b.Result(), 1);
    QCOMPARE(catalogue.ScalarText("SELECT WebName || ' ' || WebUrl || ' ' || WebSonPage3 || ' ' || "
                                  "WebPr FROM Web"),
             overwrite ? QStringLiteral("a http://b/ b3 2") : QStringLiteral("a http://a/ a3 2"));
}

void TestNoteForm::failedShowingDoesNotCarryAnotherSitesTexts() {
    TempCatalogue catalogue;
    const qint64 first = catalogue.AddSite("first", "http://first/");
    catalogue.AddParagraph(first, "first's paragraph");
    const qint64 second = catalogue.AddSite("second", "http://second/");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(first));
    e.Box("Key1")->setFocus();
    e.Click("Button15");

    QVERIFY(catalogue.Exec("ALTER TABLE Web RENAME TO Moved"));
    QVERIFY(e.Show(second));
    QVERIFY(e.Open());
    QCOMPARE(e.dialogs.Informations(), QStringList{"数据库打开失败"});
    for (const auto& [box, column] : BoxColumns())
        QVERIFY2(e.Box(box)->text().isEmpty(), qPrintable(box));
    // Nor does the paragraph list show the earlier site's paragraphs.
    QCOMPARE(e.Rows(), 0);
    QCOMPARE(e.Memo(), QString());

    // Once the table is back, OK cannot write the first site's texts over the second.
    QVERIFY(catalogue.Exec("ALTER TABLE Moved RENAME TO Web"));
    e.Click("Button4");
    QVERIFY(e.Open());
    QCOMPARE(e.dialogs.Informations().last(), QStringLiteral("网站名称不能为空"));
    // Nor can texts typed into the emptied boxes replace the site's unread ones.
    e.Box("WebName")->setText("typed");
    e.Click("Button4");
    QVERIFY(e.Open());
    QCOMPARE(e.dialogs.Informations().last(), QStringLiteral("未能读取该网站的记录，不能保存"));
    QCOMPARE(catalogue.ScalarText("SELECT WebName || ' ' || WebUrl FROM Web WHERE WebIndex = ?",
                                  {second}),
             QStringLiteral("second http://second/"));
    e.Click("Button15");
    QCOMPARE(e.Result(), 2);
}

void TestNoteForm::failedOkKeepsTheEditorOpen() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site", "url");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.Box("WebUrl")->setText("new url");

    // A failing statement: one message, nothing written, still open.
    QVERIFY(catalogue.Exec("ALTER TABLE Web RENAME TO Moved"));
    e.Click("Button4");
    QVERIFY(e.Open());
    QCOMPARE(e.dialogs.Informations(), QStringList{"数据库打开失败"});
    QVERIFY(catalogue.Exec("ALTER TABLE Moved RENAME TO Web"));

    // A row the database refuses: the error report with its text, still open.
    QVERIFY(catalogue.Exec("CREATE TRIGGER Refuse BEFORE UPDATE ON Web "
                           "BEGIN SELECT RAISE(ABORT, 'row refused'); END"));
    e.dialogs.Clear();
    e.Click("Button4");
    QVERIFY(e.Open());
    QCOMPARE(e.dialogs.Informations(), QStringList());
    QCOMPARE(e.dialogs.Errors().size(), 1);
    QVERIFY(e.dialogs.Errors().first().contains("row refused"));
    QCOMPARE(catalogue.ScalarText("SELECT WebUrl FROM Web"), QStringLiteral("url"));

    QVERIFY(catalogue.Exec("DROP TRIGGER Refuse"));
    e.dialogs.Clear();
    e.Click("Button4");
    QCOMPARE(e.Result(), 1);
    QCOMPARE(catalogue.ScalarText("SELECT WebUrl FROM Web"), QStringLiteral("new url"));
}

void TestNoteForm::openButtonsHandOverTheExactText() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(0));
    const QStringList boxes{"WebUrl",   "SonPage1", "SonPage2", "SonPage3", "SonPage4",
                            "SonPage5", "SonPage6", "SonPage7", "SonPage8"};
    // Empty boxes: nothing at all.
    for (int i = 0; i < boxes.size(); ++i)
        e.Click(QStringLiteral("Button%1").arg(6 + i));
    QVERIFY(e.opener.Opened().isEmpty());

    QStringList texts;
    for (int i = 0; i < boxes.size(); ++i) {
        texts << QStringLiteral(" www.例子%1.com/a b?q='x'&r=\"y\" ").arg(i);
        e.Box(boxes[i])->setText(texts.last());
    }
    texts[3] = QStringLiteral("/tmp/some file; rm -rf ~ $(echo) `x`");
    e.Box(boxes[3])->setText(texts[3]);
    for (int i = 0; i < boxes.size(); ++i)
        e.Click(QStringLiteral("Button%1").arg(6 + i));
    QCOMPARE(e.opener.Opened(), texts);
    QVERIFY(e.Open());
    QCOMPARE(e.dialogs.Shown(), 0);
    // The other boxes are never handed over.
    e.Box("SonName1")->setText("name only");
    e.Box("SonPage1")->clear();
    e.Click("Button7");
    QCOMPARE(e.opener.Opened().size(), texts.size());

    // When nothing can open it, the editor says why and stays open.
    e.opener.failWith = QStringLiteral("没有能打开它的程序");
    e.Click("Button14");
    QCOMPARE(e.dialogs.Errors(),
             QStringList{
                 QStringLiteral("无法打开 www.例子8.com/a b?q='x'&r=\"y\"\n没有能打开它的程序")});
    QVERIFY(e.Open());
}

void TestNoteForm::desktopUrlForTypedTexts() {
    QTemporaryFile file(QDir::tempPath() + QStringLiteral("/note file XXXXXX.txt"));
    QVERIFY(file.open());
    const QList<QPair<QString, QUrl>> cases{
        {"www.example.com", QUrl("http://www.example.com")},
        {"  www.example.com/a?b=c  ", QUrl("http://www.example.com/a?b=c")},
        {"https://example.com/x#y", QUrl("https://example.com/x#y")},
        {"example.com:8080/path", QUrl("http://example.com:8080/path")},
        {"localhost:3000", QUrl("http://localhost:3000")},
        {"mailto:someone@example.com", QUrl("mailto:someone@example.com")},
        {"ftp://files.example.com/", QUrl("ftp://files.example.com/")},
        {"新浪.中国", QUrl(QStringLiteral("http://新浪.中国"))},
        {file.fileName(), QUrl::fromLocalFile(file.fileName())},
        {" " + file.fileName() + " ", QUrl::fromLocalFile(file.fileName())},
        // A path is a path even where it does not exist: the catalogue may come from
        // another computer.
        {"/no such/file", QUrl::fromLocalFile("/no such/file")},
    };
    for (const auto& [text, url] : cases)
        QCOMPARE(DesktopUrlFor(text), url);
    QVERIFY(!DesktopUrlFor(QString()).isValid());
    QVERIFY(!DesktopUrlFor("   ").isValid());
}

QTEST_MAIN(TestNoteForm)
#include "tst_noteform.moc"
