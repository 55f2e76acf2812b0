#include "Sqlite.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

// What can go wrong between the program and SQLite, and must be told rather than lost.
class TestSqlite : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    Sqlite::Database db_;

    qint64 Count(const char* sql) {
        Sqlite::Statement count(db_.Get(), sql);
        return count.Next() ? count.Integer(0) : -1;
    }

private slots:
    void init() {
        QVERIFY(db_.Open(dir_.filePath(QStringLiteral("t.db")),
                         SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK);
        QVERIFY(Sqlite::Exec(db_.Get(),
                             "DROP TABLE IF EXISTS T; CREATE TABLE T (K INTEGER PRIMARY KEY "
                             "AUTOINCREMENT, V TEXT UNIQUE)",
                             nullptr));
    }

    // A value SQLite refuses to bind must not leave a row stored without it.
    void aFailedBindStoresNothingAndSaysWhy() {
        // SQLite keeps the limit at 30 bytes at least.
        sqlite3_limit(db_.Get(), SQLITE_LIMIT_LENGTH, 30);
        Sqlite::Statement insert(db_.Get(), "INSERT INTO T (V) VALUES (?)");
        QVERIFY(!insert.BindText(1, "far, far longer than the thirty bytes allowed"));
        QVERIFY(!insert.Run());
        QVERIFY(insert.Failed());
        QVERIFY(Sqlite::LastError(db_.Get()).contains(QStringLiteral("too big")));
        QCOMPARE(Count("SELECT count(*) FROM T"), 0);
        // The next row binds afresh.
        QVERIFY(insert.BindText(1, "short"));
        QVERIFY(insert.Run());
        QCOMPARE(Count("SELECT count(*) FROM T"), 1);
        QVERIFY(!insert.BindInteger(9, 1));
    }

    void aFailedStepIsReported() {
        Sqlite::Statement insert(db_.Get(), "INSERT INTO T (V) VALUES (?)");
        QVERIFY(insert.BindText(1, "same") && insert.Run());
        QVERIFY(insert.BindText(1, "same"));
        QVERIFY(!insert.Run());
        QVERIFY(insert.Failed());
        QCOMPARE(Sqlite::LastCode(db_.Get()), SQLITE_CONSTRAINT_UNIQUE);
        Sqlite::Statement broken(db_.Get(), "SELECT nothing FROM nowhere");
        QVERIFY(!broken.IsValid());
        QVERIFY(!broken.Next());
        QVERIFY(broken.Failed());
        QString error;
        QVERIFY(!Sqlite::Exec(db_.Get(), "INSERT INTO nowhere VALUES (1)", &error));
        QVERIFY(error.contains(QStringLiteral("nowhere")));
    }

    void aTransactionNotCommittedIsRolledBack() {
        {
            Sqlite::Transaction transaction(db_.Get());
            QVERIFY(transaction.Begin(nullptr, "BEGIN IMMEDIATE"));
            QVERIFY(Sqlite::Exec(db_.Get(), "INSERT INTO T (V) VALUES ('lost')", nullptr));
        }
        QCOMPARE(Count("SELECT count(*) FROM T"), 0);
        QVERIFY(sqlite3_get_autocommit(db_.Get()));
        Sqlite::Transaction transaction(db_.Get());
        QVERIFY(transaction.Begin(nullptr));
        QVERIFY(Sqlite::Exec(db_.Get(), "INSERT INTO T (V) VALUES ('kept')", nullptr));
        QVERIFY(transaction.Commit(nullptr));
        QCOMPARE(Count("SELECT count(*) FROM T"), 1);
    }

    void countersOnlyRise() {
        QString error;
        QCOMPARE(Sqlite::ReadCounter(db_.Get(), "T", &error), QByteArray("0"));
        QVERIFY(Sqlite::RaiseCounter(db_.Get(), "T", 40, &error));
        QVERIFY(Sqlite::RaiseCounter(db_.Get(), "T", 7, &error));
        QCOMPARE(Sqlite::ReadCounter(db_.Get(), "T", &error), QByteArray("40"));
        QVERIFY(Sqlite::Exec(db_.Get(), "INSERT INTO T (V) VALUES ('next')", nullptr));
        QCOMPARE(Count("SELECT max(K) FROM T"), 41);
        // A database without AUTOINCREMENT keeps no counters: nothing to raise or read.
        Sqlite::Database plain;
        QVERIFY(plain.Open(dir_.filePath(QStringLiteral("plain.db")),
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK);
        QVERIFY(Sqlite::Exec(plain.Get(), "CREATE TABLE P (K INTEGER PRIMARY KEY)", nullptr));
        QVERIFY(Sqlite::RaiseCounter(plain.Get(), "P", 5, &error));
        QCOMPARE(Sqlite::ReadCounter(plain.Get(), "P", &error), QByteArray("0"));
    }

    void openingAMissingFileCreatesNothing() {
        const QString missing = dir_.filePath(QStringLiteral("missing.db"));
        for (const int flags : {SQLITE_OPEN_READONLY, SQLITE_OPEN_READWRITE}) {
            Sqlite::Database db;
            QString error;
            QCOMPARE_NE(db.Open(missing, flags, &error), SQLITE_OK);
            QVERIFY(!db);
            QVERIFY(!error.isEmpty());
            QVERIFY(!QFile::exists(missing));
        }
    }
};

QTEST_GUILESS_MAIN(TestSqlite)
#include "tst_sqlite.moc"
