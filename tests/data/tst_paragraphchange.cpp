#include "Connection.h"
#include "ParagraphChange.h"
#include "PublicFunction.h"
#include "Query.h"
#include "support/RecordingDialogs.h"
#include "support/TempCatalogue.h"

#include <QTest>

// "修改" of a paragraph while another running copy, on its own connection, changes or
// deletes the same paragraph.
class TestParagraphChange : public QObject {
    Q_OBJECT
private slots:
    void storesOnlyOverTheTextTheUserSaw();
};

void TestParagraphChange::storesOnlyOverTheTextTheUserSaw() {
    TempCatalogue catalogue;
    const qint64 site = catalogue.AddSite("site");
    const qint64 id = catalogue.AddParagraph(site, "shown");
    RecordingDialogs dialogs;
    Connection connection(catalogue.Path());
    Query paragraphs;
    Query scratch;
    paragraphs.SetConnection(&connection);
    scratch.SetConnection(&connection);
    QVERIFY(OpenQuery(paragraphs, QStringLiteral("Select * From Content"), kOpenFailure, dialogs));
    ParagraphChange change(connection, paragraphs, scratch);
    const QString stored = QStringLiteral("SELECT ContentTxt FROM Content WHERE ContentIndex = ?");

    QVERIFY(
        catalogue.Exec("UPDATE Content SET ContentTxt = 'theirs' WHERE ContentIndex = ?", {id}));
    QString found;
    QCOMPARE(change.Store("shown", "mine", dialogs, &found),
             ParagraphChange::Outcome::ChangedElsewhere);
    QCOMPARE(found, QStringLiteral("theirs"));
    // Nothing written, and the file is free while the user is asked.
    QCOMPARE(catalogue.ScalarText(stored, {id}), QStringLiteral("theirs"));
    QVERIFY(catalogue.WritableNow());

    QCOMPARE(change.Store(found, "mine", dialogs, &found), ParagraphChange::Outcome::Stored);
    QCOMPARE(catalogue.ScalarText(stored, {id}), QStringLiteral("mine"));
    QCOMPARE(paragraphs.AsString("ContentTxt"), QStringLiteral("mine"));

    QVERIFY(catalogue.Exec("DELETE FROM Content"));
    QCOMPARE(change.Store("mine", "again", dialogs, &found), ParagraphChange::Outcome::Gone);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Content"), 0);
    QCOMPARE(dialogs.Shown(), 0);
}

QTEST_MAIN(TestParagraphChange)
#include "tst_paragraphchange.moc"
