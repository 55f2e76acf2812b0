#include "Connection.h"
#include "PublicFunction.h"
#include "Query.h"
#include "ShareDM.h"
#include "Sqlite.h"
#include "support/RecordingDialogs.h"
#include "support/TempCatalogue.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

const QString kAllSites =
    QStringLiteral("Select * From Web Where (WebIndex > 0) Order By WebIndex");

bool Run(Query& query, const QString& sql, QString* error = nullptr) {
    query.Close();
    query.SetSql(sql);
    return query.Open(error);
}

QStringList Entries(const QString& dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                               QDir::NoDotAndDotDot);
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A second running copy of the program, as far as the file can tell: its own handle,
// holding the write lock from BEGIN IMMEDIATE until released.
class OtherCopy {
public:
    explicit OtherCopy(const QString& path) {
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~OtherCopy() { sqlite3_close(db_); }
    bool Lock() { return sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == 0; }
    // Keeps every other connection from even reading, as a copy does while it commits.
    bool LockExclusive() {
        return sqlite3_exec(db_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == 0;
    }
    bool Release() { return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == 0; }

private:
    sqlite3* db_ = nullptr;
};

} // namespace

class TestConnection : public QObject {
    Q_OBJECT
private slots:
    void opensCatalogueInCurrentDirectoryOnFirstStatement();
    void keepsItsFileWhenTheDirectoryChanges();
    void missingFileFailsAndIsNeverCreated();
    void fileThatIsNotADatabase();
    void emptyFileHasNoTables();
    void unparseableStatementFailsAndConnectionStaysUsable();
    void openQueryReportsFailureOnceAndLeavesQueryClosed();
    void openResultStoresAfterAnotherStatementFailed();
    void openQueryRunsTheStatementItWasGiven();
    void sharedModuleStartsClosed();
    void storeWaitsForAnotherCopyToFinish();
    void storeFailsWhenFileStaysLocked();
    void lockHeldPastTheWaitFailsTheOpen();
    void storeRefusedOnReadOnlyDatabase();
    void storeRefusedOnWriteProtectedFile();
    void transactionRollsBackUnlessCommitted();
    void fileNameCanBeChanged();
};

void TestConnection::opensCatalogueInCurrentDirectoryOnFirstStatement() {
    TempCatalogue catalogue;
    QVERIFY2(catalogue.IsValid(), qPrintable(catalogue.LastError()));
    catalogue.AddSite("here");
    QVERIFY(catalogue.EnterDir());

    Connection connection;
    QCOMPARE(connection.FileName(), QStringLiteral("Sitemora.mdb"));
    Query query;
    query.SetConnection(&connection);
    QVERIFY(!connection.Connected());
    query.SetSql(kAllSites);
    QVERIFY(!connection.Connected()); // setting a statement is not running one
    QString error;
    QVERIFY2(query.Open(&error), qPrintable(error));
    QVERIFY(connection.Connected());
    QCOMPARE(query.AsString("WebName"), QStringLiteral("here"));
}

void TestConnection::keepsItsFileWhenTheDirectoryChanges() {
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    TempCatalogue elsewhere;
    elsewhere.AddSite("other");
    QVERIFY(catalogue.EnterDir());
    Connection connection;
    Query query;
    query.SetConnection(&connection);
    QVERIFY(Run(query, kAllSites));

    // Once open, stores go to the file that was opened, not to whatever the name
    // means in the new directory.
    QVERIFY(elsewhere.EnterDir());
    query.Edit();
    query.SetField("WebName", QStringLiteral("stored"));
    QString error;
    QVERIFY2(query.Post(&error), qPrintable(error));
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("stored"));
    QCOMPARE(elsewhere.ScalarText("SELECT WebName FROM Web"), QStringLiteral("other"));
    QCOMPARE(Entries(catalogue.Dir()), QStringList{"Sitemora.mdb"}); // no journal left behind
}

void TestConnection::missingFileFailsAndIsNeverCreated() {
    TempCatalogue dir(TempCatalogue::Start::WithoutFile);
    QVERIFY(dir.EnterDir());
    Connection connection;
    Query query;
    query.SetConnection(&connection);

    for (int attempt = 0; attempt < 2; ++attempt) {
        QString error;
        QVERIFY(!Run(query, kAllSites, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!query.Active());
        QVERIFY(!connection.Connected());
        QCOMPARE(Entries(dir.Dir()), QStringList());
    }
    QString error;
    QVERIFY(!connection.Begin(&error));
    QCOMPARE(Entries(dir.Dir()), QStringList());

    // Once the file is there, the next statement finds it.
    QVERIFY(Catalogue::CreateEmpty(dir.Path(), &error));
    dir.AddSite("arrived");
    QVERIFY2(Run(query, kAllSites, &error), qPrintable(error));
    QCOMPARE(query.AsString("WebName"), QStringLiteral("arrived"));
}

void TestConnection::fileThatIsNotADatabase() {
    TempCatalogue dir(TempCatalogue::Start::WithoutFile);
    QByteArray noise(64 * 1024, '\0');
    QRandomGenerator generator(20240601);
    for (char& byte : noise)
        byte = static_cast<char>(generator.bounded(256));
    QVERIFY(WriteFile(dir.Path(), noise));

    Connection connection(dir.Path());
    Query query;
    query.SetConnection(&connection);
    QString error;
    QVERIFY(!Run(query, kAllSites, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!connection.Connected());
    QVERIFY(!Run(query, kAllSites, &error));
    QCOMPARE(ReadFile(dir.Path()), noise); // looked at, never touched

    // Replaced by a real catalogue, it is used by the very next statement.
    QVERIFY(QFile::remove(dir.Path()));
    QVERIFY(Catalogue::CreateEmpty(dir.Path(), &error));
    dir.AddSite("real");
    QVERIFY2(Run(query, kAllSites, &error), qPrintable(error));
    QCOMPARE(query.RecordCount(), 1);
}

void TestConnection::emptyFileHasNoTables() {
    TempCatalogue dir(TempCatalogue::Start::WithoutFile);
    QVERIFY(WriteFile(dir.Path(), QByteArray()));
    Connection connection(dir.Path());
    Query query;
    query.SetConnection(&connection);
    QString error;
    QVERIFY(!Run(query, kAllSites, &error));
    QVERIFY2(error.contains("no table Web"), qPrintable(error));
    QVERIFY(!query.Active());
    QCOMPARE(QFileInfo(dir.Path()).size(), 0);
    QCOMPARE(Entries(dir.Dir()), QStringList{"Sitemora.mdb"});
}

void TestConnection::unparseableStatementFailsAndConnectionStaysUsable() {
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    Connection connection(catalogue.Path());
    Query query;
    query.SetConnection(&connection);
    QString error;
    for (const char* statement :
         {"Select * From Web Where InStr(WebName, 'abc) > 0", "Select * From",
          "Select * From Missing", "Select NoSuchColumn From Web", "Selec * From Web"}) {
        error.clear();
        QVERIFY2(!Run(query, QString::fromLatin1(statement), &error), statement);
        QVERIFY(!error.isEmpty());
        QVERIFY(!query.Active());
    }
    QVERIFY2(Run(query, QStringLiteral("Select * From Web Where InStr(WebName, 'a') > 0"), &error),
             qPrintable(error));
    QCOMPARE(query.RecordCount(), 1);
}

void TestConnection::openQueryReportsFailureOnceAndLeavesQueryClosed() {
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    Connection connection(catalogue.Path());
    Query query;
    query.SetConnection(&connection);
    RecordingDialogs dialogs;

    QVERIFY(OpenQuery(query, kAllSites, kOpenFailure, dialogs));
    QCOMPARE(query.RecordCount(), 1);
    QCOMPARE(dialogs.Shown(), 0);

    QVERIFY(!OpenQuery(query, QStringLiteral("Select * From Web Where WebName = 'x"), kOpenFailure,
                       dialogs));
    QCOMPARE(dialogs.Informations(), QStringList{kOpenFailure});
    QCOMPARE(dialogs.Shown(), 1);
    QVERIFY(!query.Active());
    QCOMPARE(query.RecordCount(), 0);
    QVERIFY(query.Eof());

    // A missing file is reported the same way, once per statement.
    dialogs.Clear();
    QVERIFY(QFile::remove(catalogue.Path()));
    Connection missing(catalogue.Path());
    query.SetConnection(&missing);
    QVERIFY(!OpenQuery(query, kAllSites, kOpenFailure, dialogs));
    QVERIFY(!OpenQuery(query, kAllSites, QStringLiteral("another text"), dialogs));
    QCOMPARE(dialogs.Informations(), (QStringList{kOpenFailure, QStringLiteral("another text")}));
    QCOMPARE(dialogs.Shown(), 2);
    QVERIFY(!QFile::exists(catalogue.Path()));
}

void TestConnection::openResultStoresAfterAnotherStatementFailed() {
    TempCatalogue catalogue;
    const qint64 a = catalogue.AddSite("a");
    catalogue.AddSite("b");
    Connection connection(catalogue.Path());
    Query list;
    Query scratch;
    list.SetConnection(&connection);
    scratch.SetConnection(&connection);
    RecordingDialogs dialogs;
    QVERIFY(OpenQuery(list, kAllSites, kOpenFailure, dialogs));

    // A search with a broken filter fails on the scratch query; the list that is still
    // open on the same connection must go on storing and deleting as before.
    QVERIFY(!OpenQuery(scratch, QStringLiteral("Select * From Web Where InStr(WebName, 'x) > 0"),
                       kOpenFailure, dialogs));
    list.Edit();
    list.SetField("WebName", QStringLiteral("A"));
    QString error;
    QVERIFY2(list.Post(&error), qPrintable(error));
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = ?", {a}),
             QStringLiteral("A"));

    QVERIFY(!OpenQuery(scratch, QStringLiteral("Select * From Nowhere"), kOpenFailure, dialogs));
    list.Next();
    QVERIFY2(list.Delete(&error), qPrintable(error));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 1);

    QVERIFY(!OpenQuery(scratch, QStringLiteral("Select * From"), kOpenFailure, dialogs));
    list.Append();
    list.SetField("WebName", QStringLiteral("c"));
    QVERIFY2(list.Post(&error), qPrintable(error));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 2);
    QCOMPARE(dialogs.Informations().size(), 3);
}

void TestConnection::openQueryRunsTheStatementItWasGiven() {
    TempCatalogue catalogue;
    const qint64 a = catalogue.AddSite("a");
    catalogue.AddSite("b");
    catalogue.AddParagraph(a, "p1");
    Connection connection(catalogue.Path());
    Query query;
    query.SetConnection(&connection);
    RecordingDialogs dialogs;

    QVERIFY(OpenQuery(query, kAllSites, kOpenFailure, dialogs));
    const QString statement = QStringLiteral("Select * From Content Where ContentWeb = ?");
    QVERIFY(OpenQuery(query, statement, kOpenFailure, dialogs, {a}));
    QCOMPARE(query.Sql(), statement);
    QCOMPARE(query.RecordCount(), 1);
    QCOMPARE(query.AsString("ContentTxt"), QStringLiteral("p1"));
    // The parameters of one run do not leak into the next.
    QVERIFY(OpenQuery(query, kAllSites, kOpenFailure, dialogs));
    QCOMPARE(query.RecordCount(), 2);
    QCOMPARE(dialogs.Shown(), 0);
}

void TestConnection::sharedModuleStartsClosed() {
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    QVERIFY(catalogue.EnterDir());
    RecordingDialogs dialogs;
    TShareDataModule module(dialogs);
    QCOMPARE(&module.Messages(), &dialogs);
    QVERIFY(!module.ADOConnection1.Connected());
    QVERIFY(module.ADOQueryTemp.Sql().isEmpty());
    QVERIFY(module.ADOQueryTemp2.Sql().isEmpty());
    QCOMPARE(module.ADOQueryTemp.GetConnection(), &module.ADOConnection1);
    QCOMPARE(module.ADOQueryTemp2.GetConnection(), &module.ADOConnection1);

    Query own;
    module.Bind(own);
    QVERIFY(OpenQuery(own, kAllSites, kOpenFailure, dialogs));
    QCOMPARE(own.AsString("WebName"), QStringLiteral("a"));
    QVERIFY(OpenQuery(module.ADOQueryTemp, kAllSites, kOpenFailure, dialogs));
    QVERIFY(module.ADOConnection1.Connected());
    // Both results are open at once on the one connection, each with its own row.
    module.ADOQueryTemp.Edit();
    module.ADOQueryTemp.SetField("WebName", QStringLiteral("b"));
    QVERIFY(module.ADOQueryTemp.Post(nullptr));
    QCOMPARE(own.AsString("WebName"), QStringLiteral("a"));
    QCOMPARE(dialogs.Shown(), 0);
}

void TestConnection::storeWaitsForAnotherCopyToFinish() {
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    Connection connection(catalogue.Path());
    QCOMPARE(connection.BusyTimeout(), Sqlite::kBusyTimeoutMs);
    Query query;
    query.SetConnection(&connection);
    QVERIFY(Run(query, kAllSites));

    // The other copy takes the lock and lets go, from its own thread, once the store has
    // begun to wait for it; a store that failed at once instead of waiting would see the
    // lock.
    enum Phase { Starting, Locked, LockFailed };
    std::atomic<int> phase{Starting};
    std::atomic<bool> waiting{false};
    std::atomic<bool> released{false};
    std::thread other([&] {
        OtherCopy copy(catalogue.Path());
        phase = copy.Lock() ? Locked : LockFailed;
        phase.notify_one();
        if (phase == Locked) {
            waiting.wait(false);
            released = copy.Release();
        }
    });
    phase.wait(Starting);
    auto stopWaiting = [&] {
        waiting = true;
        waiting.notify_one();
    };
    // Told from inside the store's wait, on this thread.
    connect(&connection, &Connection::WaitStarted, &connection, stopWaiting);
    query.Edit();
    query.SetField("WebName", QStringLiteral("after the wait"));
    QSignalSpy started(&connection, &Connection::WaitStarted);
    QSignalSpy finished(&connection, &Connection::WaitFinished);
    QString error;
    const bool stored = query.Post(&error);
    stopWaiting();
    other.join();
    QCOMPARE(phase.load(), int(Locked));
    QVERIFY(released);
    QVERIFY2(stored, qPrintable(error));
    // One wait, however many times SQLite retried, and over once the store is done.
    QCOMPARE(started.count(), 1);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("after the wait"));
}

void TestConnection::storeFailsWhenFileStaysLocked() {
    TempCatalogue catalogue;
    const qint64 a = catalogue.AddSite("a");
    catalogue.AddSite("b");
    Connection connection(catalogue.Path());
    connection.SetBusyTimeout(100);
    QCOMPARE(connection.BusyTimeout(), 100);
    Query query;
    query.SetConnection(&connection);
    QVERIFY(Run(query, kAllSites));

    OtherCopy copy(catalogue.Path());
    QVERIFY(copy.Lock());
    // Reading is still possible while the other copy writes.
    QString error;
    QVERIFY2(Run(query, kAllSites, &error), qPrintable(error));

    query.Edit();
    query.SetField("WebName", QStringLiteral("blocked"));
    QVERIFY(!query.Post(&error));
    QVERIFY2(error.contains("locked"), qPrintable(error));
    QCOMPARE(query.GetState(), Query::State::Edit);
    query.Cancel();
    QCOMPARE(query.AsString("WebName"), QStringLiteral("a"));

    error.clear();
    QVERIFY(!query.Delete(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(query.RecordCount(), 2);

    query.Append();
    query.SetField("WebName", QStringLiteral("new"));
    QVERIFY(!query.Post(&error));
    query.Cancel();
    QCOMPARE(query.RecordCount(), 2);

    QVERIFY(!connection.Begin(&error));
    QVERIFY(!connection.InTransaction());

    // Once released, the same cursor stores normally.
    QVERIFY(copy.Release());
    query.Edit();
    query.SetField("WebName", QStringLiteral("free"));
    QVERIFY2(query.Post(&error), qPrintable(error));
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web WHERE WebIndex = ?", {a}),
             QStringLiteral("free"));
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 2);
}

void TestConnection::lockHeldPastTheWaitFailsTheOpen() {
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    Connection connection(catalogue.Path());
    connection.SetBusyTimeout(100);
    Query query;
    query.SetConnection(&connection);
    QSignalSpy started(&connection, &Connection::WaitStarted);
    QSignalSpy finished(&connection, &Connection::WaitFinished);
    QVERIFY(Run(query, kAllSites));
    QCOMPARE(started.count(), 0); // nothing to wait for, nothing to show

    for (bool connected : {true, false}) {
        if (!connected)
            connection.Close();
        OtherCopy copy(catalogue.Path());
        QVERIFY(copy.LockExclusive());
        QString error;
        QVERIFY(!Run(query, kAllSites, &error));
        QVERIFY2(error.contains("locked"), qPrintable(error));
        QVERIFY(!query.Active());
        QCOMPARE(query.RecordCount(), 0);
    }
    QCOMPARE(started.count(), 2);
    QCOMPARE(finished.count(), 2);
    QVERIFY2(Run(query, kAllSites), "released, the file reads again");
    QCOMPARE(query.RecordCount(), 1);
}

void TestConnection::storeRefusedOnReadOnlyDatabase() {
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    Connection connection(catalogue.Path());
    Query query;
    query.SetConnection(&connection);
    QVERIFY(Run(query, kAllSites));
    // SQLite's own read-only switch, which holds even for root.
    QCOMPARE(sqlite3_exec(connection.Handle(), "PRAGMA query_only = 1", nullptr, nullptr, nullptr),
             SQLITE_OK);

    QString error;
    query.Edit();
    query.SetField("WebName", QStringLiteral("x"));
    QVERIFY(!query.Post(&error));
    QVERIFY2(error.contains("readonly"), qPrintable(error));
    query.Cancel();
    error.clear();
    QVERIFY(!query.Delete(&error));
    QVERIFY(!error.isEmpty());
    query.Append();
    error.clear();
    QVERIFY(!query.Post(&error));
    QVERIFY(!error.isEmpty());
    query.Cancel();
    QCOMPARE(query.RecordCount(), 1);
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 1);
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("a"));
}

void TestConnection::storeRefusedOnWriteProtectedFile() {
    if (geteuid() == 0)
        QSKIP("file permissions do not stop root from writing");
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    QVERIFY(::chmod(QFile::encodeName(catalogue.Path()).constData(), 0444) == 0);
    Connection connection(catalogue.Path());
    Query query;
    query.SetConnection(&connection);
    QString error;
    QVERIFY2(Run(query, kAllSites, &error), qPrintable(error)); // reading still works
    query.Edit();
    query.SetField("WebName", QStringLiteral("x"));
    QVERIFY(!query.Post(&error));
    QVERIFY(!error.isEmpty());
    query.Cancel();
    QVERIFY(!query.Delete(&error));
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("a"));
}

void TestConnection::transactionRollsBackUnlessCommitted() {
    TempCatalogue catalogue;
    catalogue.AddSite("a");
    catalogue.AddSite("b");
    Connection connection(catalogue.Path());
    Query query;
    query.SetConnection(&connection);
    QString error;
    {
        QVERIFY(Run(query, kAllSites));
        Transaction transaction(connection);
        QVERIFY2(transaction.Begin(&error), qPrintable(error));
        QVERIFY(connection.InTransaction());
        query.Edit();
        query.SetField("WebName", QStringLiteral("A"));
        QVERIFY(query.Post(&error));
        QVERIFY(query.Delete(&error));
        query.Append();
        query.SetField("WebName", QStringLiteral("c"));
        QVERIFY(query.Post(&error));
    } // abandoned: none of the three stores may remain
    QVERIFY(!connection.InTransaction());
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 2);
    QCOMPARE(catalogue.ScalarText("SELECT group_concat(WebName, ',') FROM Web"),
             QStringLiteral("a,b"));
    {
        QVERIFY(Run(query, kAllSites));
        Transaction transaction(connection);
        QVERIFY(transaction.Begin(&error));
        QVERIFY(query.Delete(&error));
        QVERIFY(query.Delete(&error));
        QVERIFY2(transaction.Commit(&error), qPrintable(error));
        QVERIFY(!transaction.Commit(&error)); // only once
    }
    QCOMPARE(catalogue.Count("SELECT count(*) FROM Web"), 0);

    // A transaction that could not begin leaves nothing to roll back.
    QVERIFY(QFile::remove(catalogue.Path()));
    Connection missing(catalogue.Path());
    Transaction transaction(missing);
    QVERIFY(!transaction.Begin(&error));
    QVERIFY(!transaction.Commit(&error));

    // Rollback on the connection itself, and when nothing is open.
    TempCatalogue second;
    second.AddSite("x");
    Connection other(second.Path());
    other.Rollback();
    QVERIFY(other.Begin(&error));
    query.SetConnection(&other);
    QVERIFY(Run(query, kAllSites));
    QVERIFY(query.Delete(&error));
    other.Rollback();
    QVERIFY(!other.InTransaction());
    QCOMPARE(second.Count("SELECT count(*) FROM Web"), 1);
}

void TestConnection::fileNameCanBeChanged() {
    TempCatalogue first;
    first.AddSite("first");
    TempCatalogue second;
    second.AddSite("second");
    Connection connection(first.Path());
    Query query;
    query.SetConnection(&connection);
    QVERIFY(Run(query, kAllSites));
    QCOMPARE(query.AsString("WebName"), QStringLiteral("first"));
    connection.SetFileName(second.Path());
    QVERIFY(!connection.Connected());
    QCOMPARE(connection.FileName(), second.Path());
    QVERIFY(Run(query, kAllSites));
    QCOMPARE(query.AsString("WebName"), QStringLiteral("second"));
}

QTEST_GUILESS_MAIN(TestConnection)
#include "tst_connection.moc"
