#include "Connection.h"
#include "support/TempCatalogue.h"

#include <QTest>
#include <QVariant>

#include <sqlite3.h>

namespace {

// The value of a one-column select run on the program's own connection; an invalid
// QVariant stands for SQL NULL.
QVariant Eval(Connection& connection, const QString& expression) {
    const QByteArray sql = ("SELECT " + expression).toUtf8();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection.Handle(), sql.constData(), -1, &statement, nullptr) !=
            SQLITE_OK ||
        sqlite3_step(statement) != SQLITE_ROW) {
        sqlite3_finalize(statement);
        return QStringLiteral("error: ") + QString::fromUtf8(sqlite3_errmsg(connection.Handle()));
    }
    QVariant value;
    if (sqlite3_column_type(statement, 0) != SQLITE_NULL)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

} // namespace

class TestSearchInStr : public QObject {
    Q_OBJECT
private slots:
    void positions_data();
    void positions();
    void everyOpenedConnectionHasIt();
};

void TestSearchInStr::positions_data() {
    QTest::addColumn<QString>("expression");
    QTest::addColumn<QVariant>("expected");
    const QVariant null;
    QTest::newRow("found") << "InStr('abcdef', 'cd')" << QVariant(3LL);
    QTest::newRow("absent") << "InStr('abcdef', 'x')" << QVariant(0LL);
    QTest::newRow("at the start") << "InStr('abc', 'abc')" << QVariant(1LL);
    QTest::newRow("at the end") << "InStr('abc', 'c')" << QVariant(3LL);
    QTest::newRow("needle longer") << "InStr('ab', 'abc')" << QVariant(0LL);
    QTest::newRow("partial prefix before match") << "InStr('aaab', 'aab')" << QVariant(2LL);
    QTest::newRow("first of several") << "InStr('xaxa', 'a')" << QVariant(2LL);
    QTest::newRow("ascii folded, needle upper")
        << "InStr('www.google.com', 'GOOGLE')" << QVariant(5LL);
    QTest::newRow("ascii folded, haystack upper") << "InStr('GoOgLe', 'ogle')" << QVariant(3LL);
    QTest::newRow("non-ascii not folded") << "InStr('Ärzte', 'ärzte')" << QVariant(0LL);
    QTest::newRow("full-width not folded") << "InStr('ＰＲ', 'ｐｒ')" << QVariant(0LL);
    QTest::newRow("chinese exact") << "InStr('新浪网', '浪网')" << QVariant(2LL);
    QTest::newRow("chinese absent") << "InStr('新浪网', '浪 网')" << QVariant(0LL);
    QTest::newRow("characters, not bytes") << "InStr('网站ab', 'AB')" << QVariant(3LL);
    QTest::newRow("after mixed text") << "InStr('中a文b', 'B')" << QVariant(4LL);
    QTest::newRow("after a four-byte character") << "InStr('🙂x', 'X')" << QVariant(2LL);
    QTest::newRow("chinese after chinese") << "InStr('网站网站名', '站名')" << QVariant(4LL);
    QTest::newRow("empty needle") << "InStr('abc', '')" << QVariant(1LL);
    QTest::newRow("both empty") << "InStr('', '')" << QVariant(1LL);
    QTest::newRow("empty haystack") << "InStr('', 'a')" << QVariant(0LL);
    QTest::newRow("null haystack") << "InStr(NULL, 'a')" << null;
    QTest::newRow("null needle") << "InStr('a', NULL)" << null;
    QTest::newRow("both null") << "InStr(NULL, NULL)" << null;
    QTest::newRow("numbers as text") << "InStr(12345, 34)" << QVariant(3LL);
    QTest::newRow("quote and percent literal")
        << "InStr('McDonald''s 100%', '''s 1')" << QVariant(9LL);
    // The name is found however it is spelt, so the built-in never answers instead.
    QTest::newRow("lower-case name") << "instr('ABC', 'b')" << QVariant(2LL);
    QTest::newRow("upper-case name") << "INSTR('abc', 'B')" << QVariant(2LL);
}

void TestSearchInStr::positions() {
    QFETCH(QString, expression);
    QFETCH(QVariant, expected);
    TempCatalogue catalogue;
    QVERIFY2(catalogue.IsValid(), qPrintable(catalogue.LastError()));
    Connection connection(catalogue.Path());
    QVERIFY(connection.Open(nullptr));
    QCOMPARE(Eval(connection, expression), expected);
}

void TestSearchInStr::everyOpenedConnectionHasIt() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Connection connection(catalogue.Path());
    for (int round = 0; round < 2; ++round) {
        QVERIFY(connection.Open(nullptr));
        QCOMPARE(Eval(connection, QStringLiteral("InStr('Google', 'gle')")), QVariant(4LL));
        connection.Close();
    }
}

QTEST_GUILESS_MAIN(TestSearchInStr)
#include "tst_search_instr.moc"
