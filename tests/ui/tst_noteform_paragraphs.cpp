#include "support/TempCatalogue.h"
#include "tst_noteform_harness.h"

#include <QApplication>
#include <QClipboard>

// The paragraph half of the editor: the list, the text area and the four buttons, and
// how paragraphs of a new site are handed over or removed.
class TestNoteFormParagraphs : public QObject {
    Q_OBJECT
private slots:
    void listsTheSitesParagraphsInOrder();
    void addShowsTheFirstParagraph();
    void newSiteTakesItsParagraphsOnOk();
    void otherEndingsRemoveTheOrphans_data();
    void otherEndingsRemoveTheOrphans();
    void orphansOfAnEarlierRunAreListedAndRemoved();
    void pendingParagraphsBelongToTheCopyThatWroteThem();
    void paragraphsLeftByAnEndedRunGoToTheFirstNewSiteEditor();
    void changeAndDeleteOnAnEmptyListDoNothing();
    void changeStoresOnlyTheSelectedText();
    void clearThenChangeStoresAnEmptyText();
    void deleteAsksAndDeletesTheSelectedParagraph();
    void deletingTheLastParagraphEmptiesListAndText();
    void changesOnAnExistingSiteStayAfterCancel();
    void textsAreStoredAndShownUnchanged_data();
    void textsAreStoredAndShownUnchanged();
    void newAndChangedTextsGetCrLf();
    void failingStatementsLeaveTheStatedState();
    void refusedRowsAreReported();
    void changeFromTwoCopies();
};

void TestNoteFormParagraphs::listsTheSitesParagraphsInOrder() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 other = catalogue.AddSite("other");
    catalogue.AddParagraph(site, "first");
    catalogue.AddParagraph(other, "not mine");
    catalogue.AddParagraph(site, "second");
    catalogue.AddParagraph(0, "orphan");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    QCOMPARE(e.Rows(), 2);
    QCOMPARE(e.Footer(), QStringLiteral("2"));
    QCOMPARE(e.Grid()->model()->index(1, 0).data().toString(), QStringLiteral("second"));
    QCOMPARE(e.Memo(), QStringLiteral("first"));
    e.SelectParagraph(1);
    QCOMPARE(e.Memo(), QStringLiteral("second"));
    e.Click("Button15");

    // The next showing lists the other site's paragraphs, whatever was selected before.
    QVERIFY(e.Show(other));
    QCOMPARE(e.Rows(), 1);
    QCOMPARE(e.Memo(), QStringLiteral("not mine"));
    QCOMPARE(e.dialogs.Shown(), 0);
}

void TestNoteFormParagraphs::addShowsTheFirstParagraph() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    QCOMPARE(e.Memo(), QString());
    e.SetMemo("only one");
    e.Click("Button1");
    QCOMPARE(e.Rows(), 1);
    QCOMPARE(e.Memo(), QStringLiteral("only one"));
    e.SetMemo("the second");
    e.Click("Button1");
    QCOMPARE(e.Rows(), 2);
    QCOMPARE(e.Footer(), QStringLiteral("2"));
    QCOMPARE(e.Memo(), QStringLiteral("only one"));
    QCOMPARE(e.form.ADOQuery1.RecNo(), 0);
    // An empty text area adds an empty paragraph.
    e.Click("Button5");
    e.Click("Button1");
    QCOMPARE(e.Rows(), 3);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentWeb = ? AND "
                             "coalesce(ContentTxt, '') = ''",
                             {site}),
             1);
    QCOMPARE(e.dialogs.Shown(), 0);
}

void TestNoteFormParagraphs::newSiteTakesItsParagraphsOnOk() {
    TempCatalogue catalogue;
    const qint64 existing = catalogue.AddSite("existing");
    catalogue.AddParagraph(existing, "belongs elsewhere");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(0));
    e.SetMemo("added first");
    e.Click("Button1");
    e.SetMemo("added second");
    e.Click("Button1");
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentWeb = 0"), 2);
    e.Box("WebName")->setText("new site");
    e.Click("Button4");
    QCOMPARE(e.Result(), 1);
    const qint64 created = catalogue.Count("SELECT WebIndex FROM Web WHERE WebName = 'new site'");
    QVERIFY(created > existing);
    QCOMPARE(catalogue.ScalarText("SELECT group_concat(ContentTxt, '|') FROM (SELECT ContentTxt "
                                  "FROM Content WHERE ContentWeb = ? ORDER BY ContentIndex)",
                                  {created}),
             QStringLiteral("added first|added second"));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentWeb = 0"), 0);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentWeb = ?", {existing}), 1);
}

void TestNoteFormParagraphs::otherEndingsRemoveTheOrphans_data() {
    QTest::addColumn<QString>("ending");
    QTest::newRow("cancel") << "cancel";
    QTest::newRow("close box") << "close";
}

void TestNoteFormParagraphs::otherEndingsRemoveTheOrphans() {
    QFETCH(QString, ending);
    TempCatalogue catalogue;
    const qint64 existing = catalogue.AddSite("existing");
    catalogue.AddParagraph(existing, "kept");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(0));
    e.Box("WebName")->setText("never stored");
    for (const char* text : {"one", "two"}) {
        e.SetMemo(text);
        e.Click("Button1");
    }
    if (ending == "cancel")
        e.Click("Button15");
    else
        e.CloseBox();
    QVERIFY(!e.Open());
    QCOMPARE(e.Result(), 2);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentWeb = 0"), 0);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 1);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 1);
}

void TestNoteFormParagraphs::orphansOfAnEarlierRunAreListedAndRemoved() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    catalogue.AddParagraph(0, "left over");
    QVERIFY(catalogue.EnterDir());
    {
        EditorFixture e;
        QVERIFY(e.Show(0));
        QCOMPARE(e.Rows(), 1);
        QCOMPARE(e.Memo(), QStringLiteral("left over"));
        e.Click("Button15");
    }
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);

    // Any closing removes them, even one that edited an existing site.
    catalogue.AddParagraph(0, "left over again");
    EditorFixture e;
    QVERIFY(e.Show(site));
    QCOMPARE(e.Rows(), 0);
    e.Click("Button4");
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);
}

// Two running copies on one file: each lists, takes and removes only its own paragraphs
// written for a new site.
void TestNoteFormParagraphs::pendingParagraphsBelongToTheCopyThatWroteThem() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    QVERIFY(catalogue.EnterDir());
    EditorFixture a;
    QVERIFY(a.Show(0));
    a.SetMemo("a's paragraph");
    a.Click("Button1");

    EditorFixture b;
    QVERIFY(b.Show(site));
    b.Click("Button15");
    QVERIFY(b.Show(0));
    QCOMPARE(b.Rows(), 0);
    b.SetMemo("b's paragraph");
    b.Click("Button1");
    QCOMPARE(b.Rows(), 1);
    b.Box("WebName")->setText("b's site");
    b.Click("Button4");

    QCOMPARE(a.Rows(), 1);
    a.Box("WebName")->setText("a's site");
    a.Click("Button4");
    QCOMPARE(a.dialogs.Shown() + b.dialogs.Shown(), 0);
    const auto paragraphsOf = [&](const char* name) {
        return catalogue.ScalarText("SELECT group_concat(ContentTxt, '|') FROM Content JOIN Web "
                                    "ON ContentWeb = WebIndex WHERE WebName = ?",
                                    {QString::fromUtf8(name)});
    };
    QCOMPARE(paragraphsOf("a's site"), QStringLiteral("a's paragraph"));
    QCOMPARE(paragraphsOf("b's site"), QStringLiteral("b's paragraph"));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentWeb = 0"), 0);
}

// Left behind: one written before copies were told apart, one by a copy that has ended,
// one by a copy whose process went away with its editor open. The first new-site editor
// lists them and they are its own from then on: another copy's closing leaves them.
void TestNoteFormParagraphs::paragraphsLeftByAnEndedRunGoToTheFirstNewSiteEditor() {
    TempCatalogue catalogue;
    catalogue.AddParagraph(0, "unowned");
    QVERIFY(catalogue.EnterDir());
    {
        // Destroyed while shown, as when the process is killed: no closing runs.
        EditorFixture gone;
        QVERIFY(gone.Show(0));
        gone.SetMemo("its editor was open");
        gone.Click("Button1");
        // Copy 4000 is not running.
        QVERIFY(catalogue.Exec("INSERT INTO Content (ContentWeb, ContentTxt) VALUES (0, 'ended')"));
        QVERIFY(catalogue.Exec("CREATE TABLE IF NOT EXISTS ContentOwner (ContentIndex INTEGER "
                               "PRIMARY KEY, OwnerCopy INTEGER NOT NULL)"));
        QVERIFY(catalogue.Exec("INSERT INTO ContentOwner SELECT max(ContentIndex), 4000 "
                               "FROM Content"));
    }
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentWeb = 0"), 3);
    EditorFixture a;
    QVERIFY(a.Show(0));
    QCOMPARE(a.Rows(), 3);
    EditorFixture b;
    QVERIFY(b.Show(0));
    QCOMPARE(b.Rows(), 0);
    b.Click("Button15");
    a.Box("WebName")->setText("new");
    a.Click("Button4");
    QCOMPARE(catalogue.ScalarText("SELECT group_concat(ContentTxt, '|') FROM (SELECT ContentTxt "
                                  "FROM Content WHERE ContentWeb > 0 ORDER BY ContentIndex)"),
             QStringLiteral("unowned|its editor was open|ended"));
}

void TestNoteFormParagraphs::changeAndDeleteOnAnEmptyListDoNothing() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.SetMemo("typed");
    e.dialogs.QueueYes();
    e.Click("Button2");
    e.Click("Button3");
    QCOMPARE(e.dialogs.Shown(), 0);
    QCOMPARE(e.dialogs.PendingAnswers(), 1);
    QCOMPARE(e.Memo(), QStringLiteral("typed"));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);
    QVERIFY(e.Open());
}

void TestNoteFormParagraphs::changeStoresOnlyTheSelectedText() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 a = catalogue.AddParagraph(site, "a");
    const qint64 b = catalogue.AddParagraph(site, "b");
    const qint64 c = catalogue.AddParagraph(site, "c");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.SelectParagraph(1);
    e.form.Memo1->setFocus();
    QTest::keyClick(e.form.Memo1, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(e.form.Memo1, " changed");
    e.Click("Button2");
    QCOMPARE(e.dialogs.Informations(), QStringList{"记录修改成功"});
    QCOMPARE(catalogue.ScalarText("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {b}),
             QStringLiteral("b changed"));
    QCOMPARE(catalogue.Count("SELECT ContentWeb FROM Content WHERE ContentIndex = ?", {b}), site);
    QCOMPARE(catalogue.ScalarText("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {a}),
             QStringLiteral("a"));
    QCOMPARE(catalogue.ScalarText("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {c}),
             QStringLiteral("c"));
    // The list is not reopened: the changed row stays selected and shows the new text.
    QCOMPARE(e.form.ADOQuery1.RecNo(), 1);
    QCOMPARE(e.Grid()->currentIndex().row(), 1);
    QCOMPARE(e.Grid()->model()->index(1, 0).data().toString(), QStringLiteral("b changed"));
    QCOMPARE(e.Memo(), QStringLiteral("b changed"));
}

void TestNoteFormParagraphs::clearThenChangeStoresAnEmptyText() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 paragraph = catalogue.AddParagraph(site, "something");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.Click("Button5");
    QCOMPARE(e.Memo(), QString());
    QCOMPARE(catalogue.ScalarText("SELECT ContentTxt FROM Content"), QStringLiteral("something"));
    e.Click("Button2");
    QCOMPARE(e.dialogs.Informations(), QStringList{"记录修改成功"});
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentIndex = ? AND "
                             "coalesce(ContentTxt, '') = ''",
                             {paragraph}),
             1);
}

void TestNoteFormParagraphs::deleteAsksAndDeletesTheSelectedParagraph() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    catalogue.AddParagraph(site, "a");
    const qint64 b = catalogue.AddParagraph(site, "b");
    catalogue.AddParagraph(site, "c");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.SelectParagraph(1);

    e.dialogs.QueueNo();
    e.Click("Button3");
    QCOMPARE(e.dialogs.Confirmations().size(), 1);
    QCOMPARE(e.dialogs.Confirmations().first().text, QStringLiteral("您确定要删除该记录吗？"));
    QCOMPARE(e.dialogs.Confirmations().first().title, QStringLiteral("删除确认"));
    QCOMPARE(e.dialogs.Informations(), QStringList());
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 3);
    QCOMPARE(e.Memo(), QStringLiteral("b"));

    e.dialogs.QueueYes();
    e.Click("Button3");
    QCOMPARE(e.dialogs.Informations(), QStringList{"记录删除成功"});
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentIndex = ?", {b}), 0);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 2);
    QCOMPARE(e.Rows(), 2);
    QCOMPARE(e.Footer(), QStringLiteral("2"));
    QCOMPARE(e.Memo(), QStringLiteral("a"));
}

void TestNoteFormParagraphs::deletingTheLastParagraphEmptiesListAndText() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    catalogue.AddParagraph(site, "the only one");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.dialogs.QueueYes();
    e.Click("Button3");
    QCOMPARE(e.Rows(), 0);
    QCOMPARE(e.Footer(), QStringLiteral("0"));
    QCOMPARE(e.Memo(), QString());
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);
    // Nothing left to change or delete.
    e.dialogs.Clear();
    e.Click("Button2");
    e.Click("Button3");
    QCOMPARE(e.dialogs.Shown(), 0);
}

void TestNoteFormParagraphs::changesOnAnExistingSiteStayAfterCancel() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 changed = catalogue.AddParagraph(site, "to change");
    catalogue.AddParagraph(site, "to delete");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.SetMemo("changed");
    e.Click("Button2");
    e.SelectParagraph(1);
    e.dialogs.QueueYes();
    e.Click("Button3");
    e.SetMemo("added");
    e.Click("Button1");
    e.Click("Button15");
    QCOMPARE(e.Result(), 2);
    QCOMPARE(catalogue.ScalarText("SELECT group_concat(ContentTxt, '|') FROM (SELECT ContentTxt "
                                  "FROM Content WHERE ContentWeb = ? ORDER BY ContentIndex)",
                                  {site}),
             QStringLiteral("changed|added"));
    QCOMPARE(catalogue.Count("SELECT ContentWeb FROM Content WHERE ContentIndex = ?", {changed}),
             site);
}

void TestNoteFormParagraphs::textsAreStoredAndShownUnchanged_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("several lines") << QStringLiteral("line one\nline two\n\nline four\n");
    QTest::newRow("chinese") << QStringLiteral("网站简介：这是一个中文段落。");
    QTest::newRow("emoji") << QStringLiteral("👨‍👩‍👧 🙂 👍🏽 flags 🇨🇳");
    QTest::newRow("quotes and symbols")
        << QStringLiteral("it's \"quoted\"; DROP TABLE Content; --\t\u00a0\u2028\\");
    QString big;
    big.reserve(1 << 20);
    while (big.size() < (1 << 20))
        big += QStringLiteral("一段很长的文字 with ASCII and 🙂\n");
    QTest::newRow("1 MB") << big;
}

void TestNoteFormParagraphs::textsAreStoredAndShownUnchanged() {
    QFETCH(QString, text);
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 stored = catalogue.AddParagraph(site, text);
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    QCOMPARE(e.Memo(), text);
    // Stored without touching it: still the same. Added again as a new paragraph, it gets
    // the catalogue's CR LF line breaks.
    e.Click("Button2");
    e.Click("Button1");
    QCOMPARE(e.dialogs.Informations(), QStringList{"记录修改成功"});
    QCOMPARE(
        catalogue.ScalarBytes("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {stored}),
        text.toUtf8());
    QCOMPARE(
        catalogue.ScalarBytes("SELECT ContentTxt FROM Content WHERE ContentIndex > ?", {stored}),
        QString(text).replace("\n", "\r\n").toUtf8());
    e.SelectParagraph(1);
    QCOMPARE(e.Memo(), text);
}

void TestNoteFormParagraphs::newAndChangedTextsGetCrLf() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 windows = catalogue.AddParagraph(site, "from an older\r\ncatalogue\r\n");
    const qint64 plain = catalogue.AddParagraph(site, "typed\nhere");
    const qint64 mixed = catalogue.AddParagraph(site, "mixed\r\nbreaks\nand a lone\rCR");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    QCOMPARE(e.Memo(), QStringLiteral("from an older\ncatalogue\n"));
    e.Click("Button2");
    QCOMPARE(
        catalogue.ScalarBytes("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {windows}),
        QByteArray("from an older\r\ncatalogue\r\n"));

    // An edited CR LF text keeps CR LF, new lines included.
    e.form.Memo1->setFocus();
    QTest::keyClick(e.form.Memo1, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClicks(e.form.Memo1, "more");
    QTest::keyClick(e.form.Memo1, Qt::Key_Return);
    QTest::keyClicks(e.form.Memo1, "end");
    e.Click("Button2");
    QCOMPARE(
        catalogue.ScalarBytes("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {windows}),
        QByteArray("from an older\r\ncatalogue\r\nmore\r\nend"));
    // Changed twice in a row, the second store starts from what the first stored.
    e.Click("Button2");
    QCOMPARE(
        catalogue.ScalarBytes("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {windows}),
        QByteArray("from an older\r\ncatalogue\r\nmore\r\nend"));

    // A text of mixed breaks, merely selected and stored, is written back as it came.
    e.SelectParagraph(2);
    QCOMPARE(e.Memo(), QStringLiteral("mixed\nbreaks\nand a lone\nCR"));
    e.Click("Button2");
    QCOMPARE(
        catalogue.ScalarBytes("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {mixed}),
        QByteArray("mixed\r\nbreaks\nand a lone\rCR"));

    // A changed LF text is stored with CR LF.
    e.SelectParagraph(1);
    QTest::keyClick(e.form.Memo1, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(e.form.Memo1, Qt::Key_Return);
    QTest::keyClicks(e.form.Memo1, "more");
    e.Click("Button2");
    QCOMPARE(
        catalogue.ScalarBytes("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {plain}),
        QByteArray("typed\r\nhere\r\nmore"));

    // A text pasted after emptying the area is stored with CR LF too.
    e.Click("Button5");
    QApplication::clipboard()->setText("pasted\nlines");
    e.form.Memo1->paste();
    e.Click("Button1");
    QCOMPARE(catalogue.ScalarBytes("SELECT ContentTxt FROM Content ORDER BY ContentIndex DESC"),
             QByteArray("pasted\r\nlines"));
}

void TestNoteFormParagraphs::failingStatementsLeaveTheStatedState() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    catalogue.AddParagraph(site, "first");
    catalogue.AddParagraph(site, "second");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.SelectParagraph(1);
    // Content keeps its columns, so the file is still a catalogue, but reading it fails
    // and nothing can be stored into it.
    QVERIFY(catalogue.Exec("ALTER TABLE Content RENAME TO Moved"));
    QVERIFY(catalogue.Exec("CREATE VIEW Content AS SELECT ContentIndex + 0 AS ContentIndex, "
                           "ContentWeb, ContentTxt FROM Moved "
                           "WHERE abs(-9223372036854775807 - 1 + 0 * ContentWeb)"));

    // Add: the open to insert reads nothing, so the refusal comes from the store;
    // nothing stored.
    e.SetMemo("not added");
    e.Click("Button1");
    QCOMPARE(e.dialogs.Errors().size(), 1);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Moved"), 2);
    e.dialogs.Clear();

    // Delete: nothing deleted.
    e.dialogs.Clear();
    e.dialogs.QueueYes();
    e.Click("Button3");
    QCOMPARE(e.dialogs.Informations(), QStringList{"数据库打开失败"});
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Moved"), 2);
    QVERIFY(e.Open());

    // A failed LoadParagraphs at the next showing: list empty, text area as it was.
    e.Click("Button15");
    e.dialogs.Clear();
    e.SetMemo("as it was");
    QVERIFY(e.Show(site));
    QCOMPARE(e.dialogs.Informations(), QStringList{"数据库打开失败"});
    QCOMPARE(e.Rows(), 0);
    QCOMPARE(e.Footer(), QStringLiteral("0"));
    QCOMPARE(e.Memo(), QStringLiteral("as it was"));
    e.Click("Button2");
    e.Click("Button3");
    QCOMPARE(e.dialogs.Informations().size(), 1);

    // The orphan removal fails too, and the editor still closes with its result.
    e.dialogs.Clear();
    e.Click("Button4");
    QVERIFY(!e.Open());
    QCOMPARE(e.Result(), 1);
    QCOMPARE(e.dialogs.Informations(), (QStringList{"记录修改成功", "数据库打开失败"}));

    // Back in place, everything works again.
    QVERIFY(catalogue.Exec("DROP VIEW Content"));
    QVERIFY(catalogue.Exec("ALTER TABLE Moved RENAME TO Content"));
    e.dialogs.Clear();
    QVERIFY(e.Show(site));
    QCOMPARE(e.Rows(), 2);
    QCOMPARE(e.dialogs.Shown(), 0);
}

void TestNoteFormParagraphs::refusedRowsAreReported() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 paragraph = catalogue.AddParagraph(site, "guarded");
    catalogue.AddParagraph(0, "stuck orphan");
    QVERIFY(catalogue.EnterDir());
    QVERIFY(catalogue.Exec("CREATE TRIGGER NoChange BEFORE UPDATE ON Content "
                           "BEGIN SELECT RAISE(ABORT, 'change refused'); END"));
    QVERIFY(catalogue.Exec("CREATE TRIGGER NoDelete BEFORE DELETE ON Content "
                           "BEGIN SELECT RAISE(ABORT, 'delete refused'); END"));
    QVERIFY(catalogue.Exec("CREATE TRIGGER NoAdd BEFORE INSERT ON Content "
                           "BEGIN SELECT RAISE(ABORT, 'add refused'); END"));
    EditorFixture e;
    QVERIFY(e.Show(site));
    e.SetMemo("new text");
    e.Click("Button2");
    e.Click("Button1");
    e.dialogs.QueueYes();
    e.Click("Button3");
    QCOMPARE(e.dialogs.Errors().size(), 3);
    QVERIFY(e.dialogs.Errors()[0].contains("change refused"));
    QVERIFY(e.dialogs.Errors()[1].contains("add refused"));
    QVERIFY(e.dialogs.Errors()[2].contains("delete refused"));
    QCOMPARE(e.dialogs.Informations(), QStringList());
    QCOMPARE(
        catalogue.ScalarText("SELECT ContentTxt FROM Content WHERE ContentIndex = ?", {paragraph}),
        QStringLiteral("guarded"));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 2);
    QVERIFY(e.Open());
    // The list still works after the refusals.
    QCOMPARE(e.Rows(), 1);
    QCOMPARE(e.form.ADOQuery1.GetState(), Query::State::Browse);

    // A refused orphan delete is reported once, and the editor still closes.
    e.dialogs.Clear();
    e.Click("Button15");
    QVERIFY(!e.Open());
    QCOMPARE(e.Result(), 2);
    QCOMPARE(e.dialogs.Errors().size(), 1);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content WHERE ContentWeb = 0"), 1);
}

// Another running copy changes the paragraphs this editor shows.
void TestNoteFormParagraphs::changeFromTwoCopies() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 shared = catalogue.AddParagraph(site, "first line\r\nsecond");
    const qint64 empty = catalogue.AddParagraph(site, "");
    QVERIFY(catalogue.Exec("UPDATE Content SET ContentTxt = NULL WHERE ContentIndex = ?", {empty}));
    const QString stored = QStringLiteral("SELECT ContentTxt FROM Content WHERE ContentIndex = ?");
    QVERIFY(catalogue.EnterDir());
    EditorFixture e;
    QVERIFY(e.Show(site));

    // Nothing typed: the other copy's text stays.
    QVERIFY(catalogue.Exec("UPDATE Content SET ContentTxt = 'theirs' WHERE ContentIndex = ?",
                           {shared}));
    e.Click("Button2");
    QCOMPARE(e.dialogs.Informations(), QStringList{"记录修改成功"});
    QCOMPARE(catalogue.ScalarText(stored, {shared}), QStringLiteral("theirs"));

    // Typed over a text changed elsewhere: asked, naming the paragraph by its first line.
    // No keeps theirs and shows it; Yes stores the typed text.
    e.form.Memo1->setFocus();
    QTest::keyClicks(e.form.Memo1, "mine ");
    e.dialogs.QueueAnswers({false, true});
    e.Click("Button2");
    QCOMPARE(e.dialogs.Confirmations().size(), 1);
    QVERIFY(e.dialogs.Confirmations()[0].text.contains("段落“first line”"));
    QCOMPARE(e.dialogs.Confirmations()[0].title, QStringLiteral("保存确认"));
    QCOMPARE(catalogue.ScalarText(stored, {shared}), QStringLiteral("theirs"));
    QCOMPARE(e.Memo(), QStringLiteral("theirs"));
    QCOMPARE(e.Grid()->model()->index(0, 0).data().toString(), QStringLiteral("theirs"));
    QVERIFY(catalogue.Exec("UPDATE Content SET ContentTxt = 'theirs again' WHERE ContentIndex = ?",
                           {shared}));
    QTest::keyClicks(e.form.Memo1, "mine ");
    e.Click("Button2");
    QCOMPARE(e.dialogs.Confirmations().size(), 2);
    QCOMPARE(catalogue.ScalarText(stored, {shared}), QStringLiteral("mine theirs"));

    // A paragraph with no value keeps none when nothing was typed, even after "清空".
    e.SelectParagraph(1);
    e.Click("Button5");
    e.Click("Button2");
    QCOMPARE(
        catalogue.Count("SELECT ContentTxt IS NULL FROM Content WHERE ContentIndex = ?", {empty}),
        1);
}

QTEST_MAIN(TestNoteFormParagraphs)
#include "tst_noteform_paragraphs.moc"
