// Backups and restores beside running copies of the program: another process that
// writes, and this process's own connection, must keep their locks and their stores.
#include "Backup.h"
#include "BackupTesting.h"
#include "Connection.h"
#include "Query.h"
#include "StartupBackup.h"
#include "support/RunProgram.h"
#include "support/TempCatalogue.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

sqlite3* OpenHandle(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    return db;
}

Outcome RunOtherCopy(const TempCatalogue& catalogue, const QStringList& args) {
    return RunProgram(QStringLiteral(OTHER_COPY), catalogue.Dir(), args);
}

} // namespace

class TestBackupLocks : public QObject {
    Q_OBJECT
private slots:
    void backupKeepsTheLocksOfItsOwnProcess();
    void restoreHoldsTheWriteLockWhileItCopies();
    void firstChangeWaitsForTheCopyOneLockWaitAtMost();
    void busyFolderFailsTheBackupInTime();
};

void TestBackupLocks::backupKeepsTheLocksOfItsOwnProcess() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Fill(catalogue);
    // This process's window is in the middle of a store when the backup runs.
    sqlite3* window = OpenHandle(catalogue.Path());
    QCOMPARE(Exec(window, "BEGIN IMMEDIATE; INSERT INTO Web (WebName) VALUES ('being stored')"),
             SQLITE_OK);
    QString error;
    QCOMPARE(MakeNow(catalogue.Path(), false, &error), Backup::Result::Written);
    QCOMPARE(MakeNow(catalogue.Path(), true, &error), Backup::Result::Unchanged);
    // Another running copy still finds the file taken.
    QCOMPARE(RunOtherCopy(catalogue, {"writable", catalogue.Path()}).code, 0);
    QCOMPARE(Exec(window, "COMMIT"), SQLITE_OK);
    sqlite3_close(window);
    QCOMPARE(Rows(catalogue.Path(), "PRAGMA integrity_check"), QStringList{"ok"});
    QCOMPARE(Rows(Backup::List(catalogue.Path()).first().path, "SELECT count(*) FROM Web"),
             QStringList{"2"});
}

void TestBackupLocks::restoreHoldsTheWriteLockWhileItCopies() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    // Pages enough that writing them back takes the restore a while.
    Fill(catalogue, 3000);
    QCOMPARE(MakeNow(catalogue.Path()), Backup::Result::Written);
    const QString good = Backup::List(catalogue.Path()).first().name;
    catalogue.AddSite(QStringLiteral("added after"));
    // Another running copy reads, so that the restore has to wait to write; the moment it
    // does, the other copy stops reading and stores as fast as it can.
    QProcess other;
    // What goes wrong in the other copy shows in this test's output.
    other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    other.start(QStringLiteral(OTHER_COPY), {"store-after-wait", catalogue.Path()});
    QVERIFY(other.waitForReadyRead(10000));
    QCOMPARE(other.readLine().trimmed(), QByteArray("ready"));
    QString error;
    const bool restored = Backup::Restore(catalogue.Path(), good, 10, nullptr, &error);
    other.closeWriteChannel();
    QVERIFY(other.waitForFinished(10000));
    QCOMPARE(other.exitCode(), 0);
    QVERIFY2(restored, qPrintable(error));
    // Every store the other copy was told had committed is there: none went into the file
    // while the restore wrote it.
    const QStringList stored =
        QString::fromUtf8(other.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(Rows(catalogue.Path(), "PRAGMA integrity_check"), QStringList{"ok"});
    QCOMPARE(Rows(catalogue.Path(), "SELECT WebName FROM Web WHERE WebName LIKE 'stored %' "
                                    "ORDER BY WebIndex"),
             stored);
    QCOMPARE(Rows(catalogue.Path(), "SELECT count(*) FROM Web WHERE WebName NOT LIKE 'stored %'"),
             QStringList{"2"});
}

void TestBackupLocks::firstChangeWaitsForTheCopyOneLockWaitAtMost() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Fill(catalogue);
    StartupBackup backup(catalogue.Path());
    Connection connection(catalogue.Path());
    connection.SetBusyTimeout(300);
    connection.SetBeforeFirstWrite([&backup](int waitMs) { return backup.WaitForCopy(waitMs); });
    Query query;
    query.SetConnection(&connection);
    query.SetSql(QStringLiteral("Select * From Web"));
    QVERIFY(query.Open(nullptr));
    // Another program holds the file, so the start's copy cannot begin.
    sqlite3* other = OpenHandle(catalogue.Path());
    QCOMPARE(Exec(other, "BEGIN EXCLUSIVE"), SQLITE_OK);
    backup.Start();
    query.Append();
    query.SetField(QStringLiteral("WebName"), QStringLiteral("made in this run"));
    QSignalSpy started(&connection, &Connection::WaitStarted);
    QSignalSpy finished(&connection, &Connection::WaitFinished);
    QVERIFY(!query.Post(nullptr));
    QCOMPARE(started.count(), 1);
    QCOMPARE(finished.count(), 1);
    // The store gave up, not the backup: once the file is free it holds the catalogue as
    // the start found it, and the store goes through.
    QVERIFY(Backup::List(catalogue.Path()).isEmpty());
    QCOMPARE(Exec(other, "ROLLBACK"), SQLITE_OK);
    sqlite3_close(other);
    QTRY_COMPARE(Backup::List(catalogue.Path()).size(), 1);
    QString error;
    QVERIFY2(query.Post(&error), qPrintable(error));
    QCOMPARE(Rows(Backup::List(catalogue.Path()).first().path, "SELECT count(*) FROM Web"),
             QStringList{"2"});
    QCOMPARE(Rows(catalogue.Path(), "SELECT count(*) FROM Web"), QStringList{"3"});
}

void TestBackupLocks::busyFolderFailsTheBackupInTime() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Fill(catalogue);
    QCOMPARE(MakeNow(catalogue.Path()), Backup::Result::Written);
    catalogue.AddSite(QStringLiteral("changed since"));
    const QString folder = Backup::FolderOf(catalogue.Path());
    const QStringList before = Listing(folder);
    // Another backup or restore of the same catalogue never lets go.
    const int held = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
    Backup::Options options;
    options.folderWaitMs = 200;
    QString error;
    QCOMPARE(Backup::Make(catalogue.Path(), options, nullptr, &error), Backup::Result::Failed);
    QVERIFY2(error.contains(folder), qPrintable(error));
    QCOMPARE(Listing(folder), before);
    ::close(held);
    QCOMPARE(Backup::Make(catalogue.Path(), options, nullptr, &error), Backup::Result::Written);
}

QTEST_GUILESS_MAIN(TestBackupLocks)
#include "tst_backup_locks.moc"
