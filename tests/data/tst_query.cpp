#include "Catalogue.h"
#include "Connection.h"
#include "Query.h"
#include "support/TempCatalogue.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <limits>

#include <sqlite3.h>

namespace {

const QString kAllSites =
    QStringLiteral("Select * From Web Where (WebIndex > 0) Order By WebIndex");

// The tests that hold for both ways of reading a result run once for each; their data
// rows are named after the way.
void ByReading() {
    QTest::addColumn<int>("unused");
    QTest::newRow("everything") << 0;
    QTest::newRow("keys") << 0;
}

// A catalogue, the connection to it and one query: what every window works with.
class Setup {
public:
    Setup() : connection(catalogue.Path()) {
        query.SetConnection(&connection);
        if (qstrcmp(QTest::currentDataTag(), "keys") == 0)
            query.SetReading(Query::Reading::Keys);
    }

    bool Run(const QString& sql, QString* error = nullptr) {
        query.Close();
        query.SetSql(sql);
        return query.Open(error);
    }

    QStringList Walk(const QString& field) {
        QStringList values;
        for (query.First(); !query.Eof(); query.Next())
            values << query.AsString(field);
        return values;
    }

    TempCatalogue catalogue;
    Connection connection;
    Query query;
};

// A Web table whose columns carry no type, so they keep whatever is put in them, less
// the column named by `without`.
QString WebTable(const QString& without = QString()) {
    QString sql = QStringLiteral("CREATE TABLE Web (WebIndex INTEGER PRIMARY KEY");
    for (const QString& column : Catalogue::WebTextColumns())
        if (column != without)
            sql += QStringLiteral(", ") + column;
    return sql + QStringLiteral(");");
}

} // namespace

class TestQuery : public QObject {
    Q_OBJECT
private slots:
    void openGivesCountAndColumnsAtOnce();
    void firstNextEofWalkTheResultInOrder();
    void emptyResultIsAtEnd();
    void columnsReadByNameAsTextOrInteger();
    void boundParametersSelectRows();
    void editStoresOnlyChangedColumns_data() { ByReading(); }
    void editStoresOnlyChangedColumns();
    void cancelDropsAnEdit();
    void editCanChangeTheKey_data() { ByReading(); }
    void editCanChangeTheKey();
    void appendStoresRowAndShowsAssignedKey_data() { ByReading(); }
    void appendStoresRowAndShowsAssignedKey();
    void keysAreNeverHandedOutTwice();
    void deleteRemovesRowFromFileAndResult_data() { ByReading(); }
    void deleteRemovesRowFromFileAndResult();
    void deletingEveryRowLeavesResultAtEnd_data() { ByReading(); }
    void deletingEveryRowLeavesResultAtEnd();
    void locateMovesToMatchingRow_data() { ByReading(); }
    void locateMovesToMatchingRow();
    void changedRowStaysInResultThatNoLongerMatches_data() { ByReading(); }
    void changedRowStaysInResultThatNoLongerMatches();
    void resultIgnoresOtherWritersUntilReopened();
    void resultOpenedOnlyToInsertReadsNoRows();
    void rowsReadByKeyWhenNeeded();
    void failureWhileReadingFailsTheOpen();
    void rowDeletedByAnotherCopy();
    void afterScrollFiresOnlyWhenCurrentRowChanges_data() { ByReading(); }
    void afterScrollFiresOnlyWhenCurrentRowChanges();
    void afterScrollDuringInsert_data() { ByReading(); }
    void afterScrollDuringInsert();
    void refusedStoreIsAnErrorNotACrash();
    void resultWithoutKeyCannotBeChanged();
    void onlyOneSelectStatementIsRun();
    void textRoundTripsByteForByte_data();
    void textRoundTripsByteForByte();
    void largeTextRoundTrips();
    void emptyAndMissingTextReadAsEmpty();
    void fileThatIsNotACatalogueIsNeverWritten_data();
    void fileThatIsNotACatalogueIsNeverWritten();
    void columnOutsideTheResultIsNotStored();
    void foreignValuesReadSafely();
};

void TestQuery::openGivesCountAndColumnsAtOnce() {
    Setup s;
    QVERIFY2(s.catalogue.IsValid(), qPrintable(s.catalogue.LastError()));
    for (const char* name : {"Alpha", "Beta", "Gamma"})
        QVERIFY(s.catalogue.AddSite(QString::fromLatin1(name)) > 0);

    QString error;
    QVERIFY2(s.Run(kAllSites, &error), qPrintable(error));
    QVERIFY(s.query.Active());
    QCOMPARE(s.query.GetState(), Query::State::Browse);
    QCOMPARE(s.query.RecordCount(), 3);
    QCOMPARE(s.query.RecNo(), 0);
    QVERIFY(!s.query.Eof());
    QCOMPARE(s.query.FieldCount(), 1 + Catalogue::WebTextColumns().size());
    QCOMPARE(s.query.FieldName(0), QStringLiteral("WebIndex"));
    for (const QString& column : Catalogue::WebTextColumns())
        QVERIFY2(s.query.HasField(column), qPrintable(column));
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("Alpha"));

    s.query.Close();
    QVERIFY(!s.query.Active());
    QCOMPARE(s.query.RecordCount(), 0);
    QVERIFY(s.query.Eof());
    QCOMPARE(s.query.AsString("WebName"), QString());
}

void TestQuery::firstNextEofWalkTheResultInOrder() {
    Setup s;
    const qint64 a = s.catalogue.AddSite("a");
    const qint64 b = s.catalogue.AddSite("b");
    const qint64 c = s.catalogue.AddSite("c");
    s.catalogue.AddParagraph(b, "third");
    s.catalogue.AddParagraph(a, "elsewhere");
    s.catalogue.AddParagraph(b, "fourth");
    QVERIFY(s.Run(QStringLiteral("Select * From Web Where WebIndex = %1").arg(c)));
    QCOMPARE(s.Walk("WebName"), QStringList{"c"});

    QVERIFY(
        s.Run(QStringLiteral("Select * From Content Where ContentWeb = %1 Order By ContentIndex")
                  .arg(b)));
    QCOMPARE(s.Walk("ContentTxt"), (QStringList{"third", "fourth"}));
    QVERIFY(s.query.Eof());
    // Walking past the end stays at the end and keeps the last row current.
    s.query.Next();
    QVERIFY(s.query.Eof());
    QCOMPARE(s.query.RecNo(), 1);
    s.query.First();
    QVERIFY(!s.query.Eof());
    QCOMPARE(s.query.AsString("ContentTxt"), QStringLiteral("third"));

    QVERIFY(s.Run(QStringLiteral("Select * From Content")));
    QCOMPARE(s.query.RecordCount(), 3);
    s.query.MoveTo(2);
    QCOMPARE(s.query.AsString("ContentTxt"), QStringLiteral("fourth"));
    s.query.MoveTo(7); // out of range: ignored
    QCOMPARE(s.query.RecNo(), 2);
}

void TestQuery::emptyResultIsAtEnd() {
    Setup s;
    QVERIFY(s.Run(kAllSites));
    QVERIFY(s.query.Active());
    QCOMPARE(s.query.RecordCount(), 0);
    QVERIFY(s.query.Eof());
    QCOMPARE(s.query.RecNo(), -1);
    s.query.First();
    QVERIFY(s.query.Eof());
    s.query.Next();
    QVERIFY(s.query.Eof());
    QCOMPARE(s.query.AsString("WebName"), QString());
    QCOMPARE(s.query.AsInteger("WebIndex"), 0);
    QVERIFY(s.query.IsNull("WebIndex"));
    // The column list is known even without rows.
    QVERIFY(s.query.HasField("WebSonPage8"));
}

void TestQuery::columnsReadByNameAsTextOrInteger() {
    Setup s;
    const qint64 key = s.catalogue.AddSite("Site", "http://example.org", "42");
    QVERIFY(
        s.catalogue.Exec("UPDATE Web SET WebUser1 = NULL, WebKey1 = '' WHERE WebIndex = ?", {key}));
    QVERIFY(s.Run(kAllSites));

    QCOMPARE(s.query.AsInteger("WebIndex"), key);
    QCOMPARE(s.query.AsString("WebIndex"), QString::number(key));
    QCOMPARE(s.query.AsString("webname"), QStringLiteral("Site")); // names ignore case
    QCOMPARE(s.query.AsString("WEBURL"), QStringLiteral("http://example.org"));
    QCOMPARE(s.query.AsInteger("WebPr"), 42);

    QVERIFY(!s.query.IsNull("WebName"));
    QVERIFY(s.query.IsNull("WebUser1"));
    QCOMPARE(s.query.AsString("WebUser1"), QString());
    QCOMPARE(s.query.AsInteger("WebUser1"), 0);
    QVERIFY(!s.query.IsNull("WebKey1"));
    QCOMPARE(s.query.AsString("WebKey1"), QString());

    QVERIFY(!s.query.HasField("NoSuchColumn"));
    QVERIFY(s.query.IsNull("NoSuchColumn"));
    QCOMPARE(s.query.AsString("NoSuchColumn"), QString());
    QCOMPARE(s.query.AsInteger("NoSuchColumn"), 0);
}

void TestQuery::boundParametersSelectRows() {
    Setup s;
    s.catalogue.AddSite("it's here");
    s.catalogue.AddSite("other");
    s.query.SetSql(QStringLiteral("Select * From Web Where WebName = ?"),
                   {QStringLiteral("it's here")});
    QVERIFY(s.query.Open(nullptr));
    QCOMPARE(s.query.RecordCount(), 1);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("it's here"));
}

void TestQuery::editStoresOnlyChangedColumns() {
    Setup s;
    const qint64 first = s.catalogue.AddSite("one", "u1", "p1");
    const qint64 second = s.catalogue.AddSite("two", "u2", "p2");
    QVERIFY(s.Run(kAllSites));
    s.query.Next();

    s.query.Edit();
    QCOMPARE(s.query.GetState(), Query::State::Edit);
    s.query.SetField("WebName", QStringLiteral("TWO"));
    s.query.SetField("WebSonPage3", QStringLiteral("http://sub"));
    // The pending values are what the cursor shows until stored.
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("TWO"));
    QCOMPARE(s.query.AsString("WebUrl"), QStringLiteral("u2"));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = ?", {second}),
             QStringLiteral("two"));

    QString error;
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.query.GetState(), Query::State::Browse);
    QCOMPARE(s.query.RecNo(), 1);
    QCOMPARE(s.query.RecordCount(), 2);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("TWO"));
    QCOMPARE(s.query.AsString("WebSonPage3"), QStringLiteral("http://sub"));
    QCOMPARE(s.query.AsInteger("WebIndex"), second);

    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = ?", {second}),
             QStringLiteral("TWO"));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebSonPage3 FROM Web WHERE WebIndex = ?", {second}),
             QStringLiteral("http://sub"));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebPr FROM Web WHERE WebIndex = ?", {second}),
             QStringLiteral("p2"));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = ?", {first}),
             QStringLiteral("one"));

    // An edit with nothing set stores nothing and succeeds.
    s.query.Edit();
    QVERIFY(s.query.Post(&error));
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("TWO"));

    // Storing an empty text must not turn into a missing row or a failure.
    s.query.Edit();
    s.query.SetField("WebUrl", QString());
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.query.AsString("WebUrl"), QString());
    QVERIFY(
        s.catalogue.ScalarText("SELECT WebUrl FROM Web WHERE WebIndex = ?", {second}).isEmpty());
}

void TestQuery::cancelDropsAnEdit() {
    Setup s;
    const qint64 key = s.catalogue.AddSite("kept");
    QVERIFY(s.Run(kAllSites));
    s.query.Edit();
    s.query.SetField("WebName", QStringLiteral("dropped"));
    s.query.Cancel();
    QCOMPARE(s.query.GetState(), Query::State::Browse);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("kept"));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = ?", {key}),
             QStringLiteral("kept"));

    // Moving away from an unstored edit discards it rather than storing it.
    s.query.Edit();
    s.query.SetField("WebName", QStringLiteral("dropped"));
    s.query.First();
    QCOMPARE(s.query.GetState(), Query::State::Browse);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("kept"));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = ?", {key}),
             QStringLiteral("kept"));
}

void TestQuery::editCanChangeTheKey() {
    Setup s;
    const qint64 old = s.catalogue.AddSite("a");
    s.catalogue.AddParagraph(old, "p");
    QVERIFY(s.Run(kAllSites));
    s.query.Edit();
    s.query.SetField("WebIndex", 500);
    s.query.SetField("WebName", QStringLiteral("moved"));
    QString error;
    // The row is found again under its new key, so the store is reported as it happened.
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.query.GetState(), Query::State::Browse);
    QCOMPARE(s.query.AsInteger("WebIndex"), 500);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("moved"));
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web WHERE WebIndex = ?", {old}), 0);
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = 500"),
             QStringLiteral("moved"));

    s.query.Edit();
    s.query.SetField("WebPr", QStringLiteral("again"));
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebPr FROM Web WHERE WebIndex = 500"),
             QStringLiteral("again"));
}

void TestQuery::appendStoresRowAndShowsAssignedKey() {
    Setup s;
    s.catalogue.AddSite("existing");
    QVERIFY(s.Run(kAllSites));

    s.query.Append();
    QCOMPARE(s.query.GetState(), Query::State::Insert);
    QVERIFY(s.query.IsNull("WebIndex"));
    QCOMPARE(s.query.AsString("WebName"), QString());
    s.query.SetField("WebName", QStringLiteral("新网站"));
    s.query.SetField("WebUrl", QStringLiteral("http://new"));
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("新网站"));
    QString error;
    QVERIFY2(s.query.Post(&error), qPrintable(error));

    const qint64 key = s.query.AsInteger("WebIndex");
    QVERIFY(key > 0);
    QCOMPARE(key, s.catalogue.Count("SELECT max(WebIndex) FROM Web"));
    QCOMPARE(s.query.RecordCount(), 2);
    QCOMPARE(s.query.RecNo(), 1);
    QCOMPARE(s.query.GetState(), Query::State::Browse);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("新网站"));
    QVERIFY(s.query.IsNull("WebPr"));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebUrl FROM Web WHERE WebIndex = ?", {key}),
             QStringLiteral("http://new"));

    // The new row is part of the result like any other, and can be changed at once.
    s.query.First();
    s.query.Next();
    QCOMPARE(s.query.AsInteger("WebIndex"), key);
    s.query.Edit();
    s.query.SetField("WebPr", QStringLiteral("9"));
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebPr FROM Web WHERE WebIndex = ?", {key}),
             QStringLiteral("9"));

    // Columns left unset take the table's defaults, read back from the file.
    QVERIFY(s.Run(QStringLiteral("Select * From Content")));
    s.query.Append();
    s.query.SetField("ContentTxt", QStringLiteral("orphan"));
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QVERIFY(s.query.AsInteger("ContentIndex") > 0);
    QVERIFY(!s.query.IsNull("ContentWeb"));
    QCOMPARE(s.query.AsInteger("ContentWeb"), 0);

    // A row with nothing set at all is still a row.
    s.query.Append();
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.query.RecordCount(), 2);
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Content"), 2);
}

void TestQuery::keysAreNeverHandedOutTwice() {
    Setup s;
    QVERIFY(
        s.Run(QStringLiteral("Select * From Content Where ContentWeb = 3 Order By ContentIndex")));
    QString error;
    qint64 previous = 0;
    for (int i = 0; i < 3; ++i) {
        s.query.Append();
        s.query.SetField("ContentWeb", 3);
        s.query.SetField("ContentTxt", QStringLiteral("p%1").arg(i));
        QVERIFY2(s.query.Post(&error), qPrintable(error));
        QVERIFY(s.query.AsInteger("ContentIndex") > previous);
        previous = s.query.AsInteger("ContentIndex");
    }
    // Deleting the newest paragraph must not let its key come back.
    QVERIFY(s.query.Delete(&error));
    s.query.Append();
    s.query.SetField("ContentWeb", 3);
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QVERIFY(s.query.AsInteger("ContentIndex") > previous);
}

void TestQuery::deleteRemovesRowFromFileAndResult() {
    Setup s;
    const qint64 a = s.catalogue.AddSite("a");
    const qint64 b = s.catalogue.AddSite("b");
    s.catalogue.AddSite("c");
    QVERIFY(s.Run(kAllSites));

    s.query.Next();
    QString error;
    QVERIFY2(s.query.Delete(&error), qPrintable(error));
    QCOMPARE(s.query.RecordCount(), 2);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("c")); // the next row takes its place
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web WHERE WebIndex = ?", {b}), 0);
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web"), 2);

    QVERIFY(s.query.Delete(&error)); // the last row: the one before becomes current
    QCOMPARE(s.query.RecordCount(), 1);
    QVERIFY(!s.query.Eof());
    QCOMPARE(s.query.AsInteger("WebIndex"), a);
    QCOMPARE(s.Walk("WebName"), QStringList{"a"});

    // Deleting while editing deletes the row, not the edit.
    s.query.First();
    s.query.Edit();
    s.query.SetField("WebName", QStringLiteral("x"));
    QVERIFY(s.query.Delete(&error));
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web"), 0);
}

void TestQuery::deletingEveryRowLeavesResultAtEnd() {
    Setup s;
    s.catalogue.AddSite("a");
    s.catalogue.AddSite("b");
    QVERIFY(s.Run(kAllSites));
    QString error;
    while (!s.query.Eof())
        QVERIFY2(s.query.Delete(&error), qPrintable(error));
    QCOMPARE(s.query.RecordCount(), 0);
    QCOMPARE(s.query.RecNo(), -1);
    s.query.First();
    QVERIFY(s.query.Eof());
    QCOMPARE(s.query.AsString("WebName"), QString());
    // Nothing left to delete, and the caller is told so.
    error.clear();
    QVERIFY(!s.query.Delete(&error));
    QVERIFY(!error.isEmpty());
    s.query.Edit(); // no row to edit: stays browsing
    QCOMPARE(s.query.GetState(), Query::State::Browse);
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web"), 0);
}

void TestQuery::locateMovesToMatchingRow() {
    Setup s;
    s.catalogue.AddSite("a", "u");
    const qint64 b = s.catalogue.AddSite("b", "u");
    s.catalogue.AddSite("c", "u");
    QVERIFY(s.Run(kAllSites));

    QVERIFY(s.query.Locate("WebIndex", b));
    QCOMPARE(s.query.RecNo(), 1);
    QVERIFY(s.query.Locate("WebName", QStringLiteral("c")));
    QCOMPARE(s.query.RecNo(), 2);
    QVERIFY(s.query.Locate("WebIndex", QString::number(b))); // a key given as text
    QCOMPARE(s.query.RecNo(), 1);
    QVERIFY(s.query.Locate("WebUrl", QStringLiteral("u"))); // the first of several matches
    QCOMPARE(s.query.RecNo(), 0);

    s.query.Next();
    QVERIFY(!s.query.Locate("WebName", QStringLiteral("zzz")));
    QCOMPARE(s.query.RecNo(), 1); // a failed locate leaves the current row alone
    QVERIFY(!s.query.Locate("WebIndex", 999));
    QVERIFY(!s.query.Locate("NoSuchColumn", 1));
    QCOMPARE(s.query.RecNo(), 1);
    s.query.Close();
    QVERIFY(!s.query.Locate("WebIndex", b));
}

void TestQuery::changedRowStaysInResultThatNoLongerMatches() {
    Setup s;
    const qint64 p = s.catalogue.AddParagraph(3, "moving");
    s.catalogue.AddParagraph(3, "staying");
    const QString statement =
        QStringLiteral("Select * From Content Where ContentWeb = 3 Order By ContentIndex");
    QVERIFY(s.Run(statement));
    s.query.Edit();
    s.query.SetField("ContentWeb", 4);
    QString error;
    QVERIFY2(s.query.Post(&error), qPrintable(error));

    QCOMPARE(s.query.RecordCount(), 2);
    QCOMPARE(s.query.AsInteger("ContentIndex"), p);
    QCOMPARE(s.query.AsInteger("ContentWeb"), 4);
    QCOMPARE(s.Walk("ContentTxt"), (QStringList{"moving", "staying"}));
    QCOMPARE(s.catalogue.Count("SELECT ContentWeb FROM Content WHERE ContentIndex = ?", {p}), 4);

    QVERIFY(s.Run(statement));
    QCOMPARE(s.Walk("ContentTxt"), QStringList{"staying"});
}

void TestQuery::resultIgnoresOtherWritersUntilReopened() {
    Setup s;
    const qint64 a = s.catalogue.AddSite("a");
    QVERIFY(s.Run(kAllSites));
    // A result is read when first used; from then on it is a snapshot.
    QCOMPARE(s.query.RecordCount(), 1);
    s.catalogue.AddSite("b");
    QVERIFY(s.catalogue.Exec("UPDATE Web SET WebName = 'A' WHERE WebIndex = ?", {a}));
    QCOMPARE(s.query.RecordCount(), 1);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("a"));

    QVERIFY(s.Run(kAllSites));
    QCOMPARE(s.Walk("WebName"), (QStringList{"A", "b"}));
}

void TestQuery::resultOpenedOnlyToInsertReadsNoRows() {
    Setup s;
    const qint64 site = s.catalogue.AddSite("a");
    s.catalogue.AddParagraph(site, "one");
    s.query.SkipRowsOnNextOpen();
    QVERIFY(s.Run("Select * From Content"));
    QCOMPARE(s.query.RecordCount(), 0);
    QVERIFY(s.query.Eof());
    s.query.Append();
    s.query.SetField("ContentWeb", site);
    s.query.SetField("ContentTxt", QStringLiteral("two"));
    QString error;
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.query.RecordCount(), 1);
    QCOMPARE(s.query.RecNo(), 0);
    QVERIFY(s.query.AsInteger("ContentIndex") > 0);
    QCOMPARE(s.query.AsString("ContentTxt"), QStringLiteral("two"));

    // Only that one open skips its rows: the next use of the query reads them all.
    QVERIFY(s.Run("Select * From Content Order By ContentIndex"));
    QCOMPARE(s.Walk("ContentTxt"), (QStringList{"one", "two"}));
}

void TestQuery::rowsReadByKeyWhenNeeded() {
    Setup s;
    s.query.SetReading(Query::Reading::Keys);
    const qint64 a = s.catalogue.AddSite("a");
    const qint64 b = s.catalogue.AddSite("b");
    const qint64 c = s.catalogue.AddSite("c");
    s.catalogue.AddSite("left out");
    QVERIFY(s.Run("Select * From Web Where (WebIndex > 0) And (InStr(WebName, 'left') = 0) "
                  "Order By WebIndex"));
    QCOMPARE(s.query.RecordCount(), 3);

    // Another copy adds, changes and deletes sites while the list is open.
    const qint64 added = s.catalogue.AddSite("added");
    QVERIFY(s.catalogue.Exec("UPDATE Web SET WebName = 'B' WHERE WebIndex = ?", {b}));
    QVERIFY(s.catalogue.Exec("DELETE FROM Web WHERE WebIndex = ?", {c}));
    QCOMPARE(s.query.RecordCount(), 3);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("a"));
    s.query.Next();
    QCOMPARE(s.query.AsInteger("WebIndex"), b);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("B"));
    // The deleted site passes for no site at all, and nothing can be stored into it.
    s.query.Next();
    QCOMPARE(s.query.RecNo(), 2);
    QVERIFY(s.query.IsNull("WebIndex"));
    QCOMPARE(s.query.AsString("WebName"), QString());
    QCOMPARE(s.query.TextAt(2, 1), QString());
    QCOMPARE(s.query.RowError(), QString());
    s.query.Edit();
    QCOMPARE(s.query.GetState(), Query::State::Browse);
    QVERIFY(s.query.Locate("WebIndex", a));
    QCOMPARE(s.query.RecNo(), 0);
    QVERIFY(!s.query.Locate("WebIndex", added));

    // A row that cannot be read for a lock says why, and reads once the file is free.
    s.connection.SetBusyTimeout(10);
    sqlite3* other = nullptr;
    QCOMPARE(sqlite3_open(QFile::encodeName(s.catalogue.Path()).constData(), &other), SQLITE_OK);
    QCOMPARE(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    s.query.MoveTo(1);
    QVERIFY2(s.query.RowError().contains("locked"), qPrintable(s.query.RowError()));
    QVERIFY(s.query.IsNull("WebIndex"));
    QCOMPARE(s.query.TextAt(1, 1), QString());
    sqlite3_close(other);
    s.query.First();
    s.query.Next();
    QCOMPARE(s.query.RowError(), QString());
    QCOMPARE(s.query.TextAt(1, 1), QStringLiteral("B"));
}

void TestQuery::failureWhileReadingFailsTheOpen() {
    Setup s;
    QVERIFY(s.catalogue.Exec(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
        "INSERT INTO Web (WebName, WebUrl) SELECT 'site ' || i, printf('http://%0100d/', i) "
        "FROM n"));
    QVERIFY2(s.catalogue.DamageMiddlePage("Web"), qPrintable(s.catalogue.LastError()));
    const QByteArray damaged = s.catalogue.Bytes();

    // The rows before the damaged page read well; the result must still not pass for
    // a shorter list.
    QString error;
    QVERIFY(!s.Run(kAllSites, &error));
    QVERIFY2(error.contains("malformed"), qPrintable(error));
    QVERIFY(!s.query.Active());
    QCOMPARE(s.query.RecordCount(), 0);
    QVERIFY(s.query.Eof());

    // What does not touch the damaged page still reads, and nothing was written.
    QVERIFY2(s.Run("Select * From Web Where WebIndex = 1", &error), qPrintable(error));
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("site 1"));
    QVERIFY(s.catalogue.Bytes() == damaged);
}

void TestQuery::rowDeletedByAnotherCopy() {
    Setup s;
    const qint64 a = s.catalogue.AddSite("a");
    const qint64 b = s.catalogue.AddSite("b");
    QVERIFY(s.Run(kAllSites));
    QCOMPARE(s.query.RecordCount(), 2);
    QVERIFY(s.catalogue.Exec("DELETE FROM Web"));

    // Storing into a row that is gone must say so, not quietly succeed.
    s.query.Edit();
    s.query.SetField("WebName", QStringLiteral("late"));
    QString error;
    QVERIFY(!s.query.Post(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web"), 0);
    s.query.Cancel();
    QCOMPARE(s.query.AsInteger("WebIndex"), a);

    // Deleting it is already done: the row just leaves the result.
    QVERIFY2(s.query.Delete(&error), qPrintable(error));
    QCOMPARE(s.query.RecordCount(), 1);
    QCOMPARE(s.query.AsInteger("WebIndex"), b);
}

void TestQuery::afterScrollFiresOnlyWhenCurrentRowChanges() {
    Setup s;
    for (const char* name : {"a", "b", "c"})
        s.catalogue.AddSite(QString::fromLatin1(name));
    QSignalSpy scrolled(&s.query, &Query::AfterScroll);
    QString error;

    QVERIFY(s.Run(kAllSites));
    QCOMPARE(scrolled.count(), 1);
    QVERIFY(s.Run(kAllSites)); // reopening: closing gives none, opening gives one
    QCOMPARE(scrolled.count(), 2);

    scrolled.clear();
    s.query.First(); // already on the first row
    QCOMPARE(scrolled.count(), 0);
    s.query.Next();
    QCOMPARE(scrolled.count(), 1);
    s.query.First();
    QCOMPARE(scrolled.count(), 2);
    s.query.MoveTo(2);
    QCOMPARE(scrolled.count(), 3);
    s.query.MoveTo(2);
    s.query.MoveTo(-1);
    s.query.MoveTo(3);
    QCOMPARE(scrolled.count(), 3);
    s.query.Next(); // off the end: the current row does not change
    QVERIFY(s.query.Eof());
    s.query.Next();
    QCOMPARE(scrolled.count(), 3);
    s.query.First(); // back from the end is a move
    QCOMPARE(scrolled.count(), 4);

    scrolled.clear();
    QVERIFY(s.query.Locate("WebName", QStringLiteral("b")));
    QCOMPARE(scrolled.count(), 1);
    QVERIFY(s.query.Locate("WebName", QStringLiteral("b"))); // successful, so it tells
    QCOMPARE(scrolled.count(), 2);
    QVERIFY(!s.query.Locate("WebName", QStringLiteral("zzz")));
    QCOMPARE(scrolled.count(), 2);

    scrolled.clear();
    s.query.Edit();
    s.query.SetField("WebName", QStringLiteral("B"));
    QVERIFY(s.query.Post(&error));
    s.query.Edit();
    s.query.Cancel();
    QCOMPARE(scrolled.count(), 0);

    s.query.Append();
    QCOMPARE(scrolled.count(), 1);
    s.query.SetField("WebName", QStringLiteral("d"));
    QVERIFY(s.query.Post(&error));
    QCOMPARE(scrolled.count(), 1);

    QVERIFY(s.query.Delete(&error));
    QCOMPARE(scrolled.count(), 2);

    // A store the database refuses gives no notice either.
    s.query.Edit();
    s.query.SetField("WebIndex", -1);
    QVERIFY(!s.query.Post(&error));
    s.query.Cancel();
    QCOMPARE(scrolled.count(), 2);

    s.query.Close();
    QCOMPARE(scrolled.count(), 2);

    // Deleting the only row still changes the current row (to none).
    QVERIFY(s.Run(QStringLiteral("Select * From Web Where WebName = 'a'")));
    scrolled.clear();
    QVERIFY(s.query.Delete(&error));
    QCOMPARE(scrolled.count(), 1);
    s.query.First(); // nothing to move to
    QCOMPARE(scrolled.count(), 1);
}

void TestQuery::afterScrollDuringInsert() {
    Setup s;
    s.catalogue.AddSite("a");
    s.catalogue.AddSite("b");
    QVERIFY(s.Run(kAllSites));
    QSignalSpy scrolled(&s.query, &Query::AfterScroll);
    QString error;

    // Every way out of an unstored insert returns to a stored row, and the owner must
    // learn that the row it shows is no longer the new one.
    s.query.Append();
    s.query.Cancel();
    QCOMPARE(scrolled.count(), 2);
    QCOMPARE(s.query.RecNo(), 0);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("a"));

    s.query.Append();
    s.query.First();
    QCOMPARE(scrolled.count(), 4);
    QCOMPARE(s.query.RecNo(), 0);

    s.query.Append();
    s.query.MoveTo(0);
    QCOMPARE(scrolled.count(), 6);

    s.query.Append();
    QVERIFY(s.query.Locate("WebName", QStringLiteral("a")));
    QCOMPARE(scrolled.count(), 8);

    s.query.Append();
    QVERIFY(s.query.Delete(&error)); // deleting a row not yet stored drops it
    QCOMPARE(scrolled.count(), 10);
    QCOMPARE(s.query.RecordCount(), 2);
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web"), 2);
    QCOMPARE(s.query.AsString("WebName"), QStringLiteral("a"));

    // Append on an empty result, then cancel: back to no row at all.
    QVERIFY(s.Run(QStringLiteral("Select * From Web Where WebIndex = 0")));
    scrolled.clear();
    s.query.Append();
    s.query.Cancel();
    QCOMPARE(scrolled.count(), 2);
    QVERIFY(s.query.Eof());
    QCOMPARE(s.query.RecNo(), -1);
}

void TestQuery::refusedStoreIsAnErrorNotACrash() {
    Setup s;
    const qint64 key = s.catalogue.AddSite("a");
    QVERIFY(s.Run(QStringLiteral("Select * From Content")));

    // Keys outside the 32-bit range are refused by the file itself.
    s.query.Append();
    s.query.SetField("ContentIndex", 0);
    s.query.SetField("ContentTxt", QStringLiteral("bad"));
    QString error;
    QVERIFY(!s.query.Post(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(s.query.GetState(), Query::State::Insert); // the caller may fix or cancel
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Content"), 0);
    s.query.Cancel();
    QCOMPARE(s.query.RecordCount(), 0);
    QVERIFY(s.query.Eof());

    s.query.Append();
    s.query.SetField("ContentWeb", Q_INT64_C(4294967296));
    error.clear();
    QVERIFY(!s.query.Post(&error));
    QVERIFY(!error.isEmpty());
    s.query.Cancel();

    QVERIFY(s.Run(kAllSites));
    s.query.Edit();
    s.query.SetField("WebIndex", Q_INT64_C(2147483648));
    error.clear();
    QVERIFY(!s.query.Post(&error));
    QVERIFY(!error.isEmpty());
    s.query.Cancel();
    QCOMPARE(s.query.AsInteger("WebIndex"), key);
    QCOMPARE(s.catalogue.Count("SELECT WebIndex FROM Web"), key);

    // Taking another row's key is refused too, and neither row changes.
    const qint64 other = s.catalogue.AddSite("b");
    QVERIFY(s.Run(kAllSites));
    s.query.Edit();
    s.query.SetField("WebIndex", other);
    QVERIFY(!s.query.Post(&error));
    s.query.Cancel();
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web"), 2);
}

void TestQuery::resultWithoutKeyCannotBeChanged() {
    Setup s;
    s.catalogue.AddSite("a");
    s.catalogue.AddParagraph(1, "p");
    QString error;
    for (const char* statement :
         {"Select WebName From Web", "Select WebName || '!' As WebName, WebIndex From Web",
          "Select * From Web, Content"}) {
        QVERIFY2(s.Run(QString::fromLatin1(statement), &error), qPrintable(error));
        QCOMPARE(s.query.RecordCount(), 1);
        s.query.Edit();
        s.query.SetField("WebName", QStringLiteral("changed"));
        error.clear();
        QVERIFY2(!s.query.Post(&error), statement);
        QVERIFY(!error.isEmpty());
        s.query.Cancel();
        error.clear();
        QVERIFY(!s.query.Delete(&error));
        QVERIFY(!error.isEmpty());
    }
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("a"));
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Content"), 1);
}

void TestQuery::onlyOneSelectStatementIsRun() {
    Setup s;
    s.catalogue.AddSite("a");
    QString error;
    for (const char* statement : {"Delete From Web", "Select * From Web; Delete From Web",
                                  "Update Web Set WebName = 'x'", "", "   "}) {
        error.clear();
        QVERIFY2(!s.Run(QString::fromLatin1(statement), &error), statement);
        QVERIFY(!error.isEmpty());
        QVERIFY(!s.query.Active());
    }
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web"), 1);
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("a"));
    // A trailing semicolon is still one statement.
    QVERIFY2(s.Run(QStringLiteral("Select * From Web;"), &error), qPrintable(error));
}

void TestQuery::textRoundTripsByteForByte_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("chinese") << QStringLiteral("网站目录：中文名称");
    QTest::newRow("emoji") << QStringLiteral("🌐 sites 👍🏽 \U0001F600");
    QTest::newRow("quotes") << QStringLiteral("it's \"quoted\" `x` '' \\ %s ?1 :a");
    QTest::newRow("crlf") << QStringLiteral("line one\r\nline two\r\n\r\nend\r");
    QTest::newRow("tabs and spaces") << QStringLiteral("  \tleading and trailing\t  ");
}

void TestQuery::textRoundTripsByteForByte() {
    QFETCH(QString, text);
    Setup s;
    const QString statement = QStringLiteral("Select * From Content Where ContentWeb = 7");
    QVERIFY(s.Run(statement));
    s.query.Append();
    s.query.SetField("ContentWeb", 7);
    s.query.SetField("ContentTxt", text);
    QString error;
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.query.AsString("ContentTxt"), text);
    QCOMPARE(s.catalogue.ScalarBytes("SELECT ContentTxt FROM Content"), text.toUtf8());

    QVERIFY(s.Run(statement));
    QCOMPARE(s.query.AsString("ContentTxt"), text);

    // And what another writer stored reads back unchanged as well.
    s.catalogue.AddSite(text, text);
    QVERIFY(s.Run(kAllSites));
    QCOMPARE(s.query.AsString("WebName"), text);
    s.query.Edit();
    s.query.SetField("WebPr", text);
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.catalogue.ScalarBytes("SELECT WebPr FROM Web"), text.toUtf8());
}

void TestQuery::largeTextRoundTrips() {
    Setup s;
    const QString piece = QStringLiteral("段落 paragraph 👍\r\n");
    const QString text = piece.repeated((1 << 20) / piece.toUtf8().size() + 1);
    QVERIFY(s.Run(QStringLiteral("Select * From Content")));
    for (int i = 0; i < 3; ++i) { // several rows, so the snapshot spans storage blocks
        s.query.Append();
        s.query.SetField("ContentTxt", text + QString::number(i));
        QString error;
        QVERIFY2(s.query.Post(&error), qPrintable(error));
    }
    QVERIFY(s.Run(QStringLiteral("Select * From Content Order By ContentIndex")));
    QCOMPARE(s.query.RecordCount(), 3);
    int i = 0;
    for (s.query.First(); !s.query.Eof(); s.query.Next(), ++i)
        QVERIFY(s.query.AsString("ContentTxt") == text + QString::number(i));
    QCOMPARE(s.catalogue.ScalarBytes("SELECT ContentTxt FROM Content ORDER BY ContentIndex"),
             (text + QStringLiteral("0")).toUtf8());
}

void TestQuery::emptyAndMissingTextReadAsEmpty() {
    Setup s;
    QVERIFY(s.catalogue.Exec("INSERT INTO Web (WebName) VALUES (NULL)"));
    QVERIFY(s.catalogue.Exec("INSERT INTO Content (ContentWeb, ContentTxt) VALUES (NULL, NULL)"));
    QVERIFY(s.Run(kAllSites));
    for (const QString& column : Catalogue::WebTextColumns()) {
        QCOMPARE(s.query.AsString(column), QString());
        QVERIFY(s.query.AsString(column).isEmpty());
    }
    QVERIFY(s.Run(QStringLiteral("Select * From Content")));
    QCOMPARE(s.query.AsString("ContentTxt"), QString());
    QVERIFY(s.query.IsNull("ContentWeb"));
    QCOMPARE(s.query.AsInteger("ContentWeb"), 0);
}

void TestQuery::fileThatIsNotACatalogueIsNeverWritten_data() {
    QTest::addColumn<QString>("schema");
    const QString content = QStringLiteral(
        "CREATE TABLE Content (ContentIndex INTEGER PRIMARY KEY, ContentWeb, ContentTxt);");
    QTest::newRow("no Web") << content;
    QTest::newRow("no Content") << WebTable();
    QTest::newRow("Web without WebSonPage8") << WebTable("WebSonPage8") + content;
    QTest::newRow("Content without ContentTxt")
        << WebTable() +
               "CREATE TABLE Content (ContentIndex INTEGER PRIMARY KEY, ContentWeb, Text);";
}

void TestQuery::fileThatIsNotACatalogueIsNeverWritten() {
    QFETCH(QString, schema);
    Setup s;
    QVERIFY(QFile::remove(s.catalogue.Path()));
    QVERIFY2(s.catalogue.CreateWithSchema(schema), qPrintable(s.catalogue.LastError()));
    const QByteArray before = s.catalogue.Bytes();

    // What the editor's "新增" does: an open to insert into, then the insert.
    QString error;
    s.query.SkipRowsOnNextOpen();
    QVERIFY(!s.Run("Select * From Content", &error));
    QVERIFY2(error.contains("not a catalogue"), qPrintable(error));
    QVERIFY(!s.query.Active());
    QVERIFY(!s.Run("Select * From Web", &error));
    QVERIFY(!s.connection.Begin(&error));
    QVERIFY(!s.connection.Connected());
    QVERIFY(s.catalogue.Bytes() == before);
}

void TestQuery::columnOutsideTheResultIsNotStored() {
    Setup s;
    s.catalogue.AddSite("old", "http://old");
    QVERIFY(s.Run("Select WebIndex, WebName, WebUrl From Web"));
    QVERIFY(!s.query.HasField("WebPr"));
    QCOMPARE(s.query.AsString("WebPr"), QString());
    QVERIFY(s.query.IsNull("WebPr"));

    // Nothing of the row is stored when one of its columns has nowhere to go.
    s.query.Edit();
    s.query.SetField("WebName", QStringLiteral("new"));
    s.query.SetField("WebPr", QStringLiteral("5"));
    QString error;
    QVERIFY(!s.query.Post(&error));
    QVERIFY(error.contains("WebPr"));
    s.query.Cancel();
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("old"));

    s.query.Append();
    s.query.SetField("WebName", QStringLiteral("added"));
    s.query.SetField("WebPr", QStringLiteral("5"));
    QVERIFY(!s.query.Post(&error));
    s.query.Cancel();
    QCOMPARE(s.catalogue.Count("SELECT count(*) FROM Web"), 1);

    // The failed attempt leaves nothing behind: the next edit stores normally.
    s.query.Edit();
    s.query.SetField("WebName", QStringLiteral("new"));
    QVERIFY2(s.query.Post(&error), qPrintable(error));
    QCOMPARE(s.catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("new"));
}

void TestQuery::foreignValuesReadSafely() {
    // A file written by some other tool may hold any kind of value in any column.
    Setup s;
    QVERIFY(QFile::remove(s.catalogue.Path()));
    QVERIFY2(s.catalogue.CreateWithSchema(WebTable() +
                                          "CREATE TABLE Content (ContentIndex INTEGER PRIMARY KEY, "
                                          "ContentWeb, ContentTxt);"
                                          "INSERT INTO Web (WebIndex, WebName, WebUrl, WebPr) "
                                          "VALUES (1, 1e300, -1e300, 2.75);"
                                          "INSERT INTO Web (WebIndex, WebName, WebUrl, WebPr) "
                                          "VALUES (2, x'00ff41', ' 17 ', 9223372036854775807);"),
             qPrintable(s.catalogue.LastError()));
    QVERIFY(s.Run(QStringLiteral("Select * From Web Order By WebIndex")));
    QCOMPARE(s.query.AsInteger("WebName"), std::numeric_limits<qint64>::max());
    QCOMPARE(s.query.AsInteger("WebUrl"), std::numeric_limits<qint64>::min());
    QCOMPARE(s.query.AsInteger("WebPr"), 2);
    QCOMPARE(s.query.AsString("WebPr"), QStringLiteral("2.75"));
    s.query.Next();
    QCOMPARE(s.query.AsString("WebName").size(), 3);
    QCOMPARE(s.query.AsInteger("WebUrl"), 17);
    QCOMPARE(s.query.AsInteger("WebPr"), std::numeric_limits<qint64>::max());
    QCOMPARE(s.query.AsString("WebPr"), QStringLiteral("9223372036854775807"));

    // More columns than fit the cursor's small-row fast path.
    QVERIFY(s.Run(QStringLiteral("Select *, *, * From Web Order By WebIndex")));
    QCOMPARE(s.query.FieldCount(), 3 * 26);
    QCOMPARE(s.query.TextAt(1, 2 * 26 + 3), QStringLiteral("9223372036854775807"));
    QCOMPARE(s.query.TextAt(0, 2 * 26 + 2), QStringLiteral("-1e+300"));
}

QTEST_GUILESS_MAIN(TestQuery)
#include "tst_query.moc"
