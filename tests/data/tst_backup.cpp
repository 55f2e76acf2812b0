#include "Backup.h"
#include "BackupTesting.h"
#include "Connection.h"
#include "Query.h"
#include "StartupBackup.h"
#include "support/TempCatalogue.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

QByteArray Hash(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly)
               ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256)
               : QByteArray();
}

int Mode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

class TestBackup : public QObject {
    Q_OBJECT
private slots:
    void changedCatalogueGetsExactlyOneEqualBackup();
    void eleventhBackupRemovesTheOldest();
    void firstChangeOfTheRunWaitsForTheCopy();
    void onlyWritesWakeTheFirstWriteHook();
    void failureLeavesCatalogueAndBackupsAsTheyWere_data();
    void failureLeavesCatalogueAndBackupsAsTheyWere();
    void restoreRoundTrip();
    void restoreOverDamagedOrMissingCatalogue();
    void backupWhileAnotherConnectionWritesIsConsistent();
};

void TestBackup::changedCatalogueGetsExactlyOneEqualBackup() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Fill(catalogue);
    QVERIFY(catalogue.Exec(QStringLiteral("UPDATE Web SET WebKey1 = '' WHERE WebIndex = 1")));
    QString error;
    QCOMPARE(MakeNow(catalogue.Path(), true, &error), Backup::Result::Written);
    const QList<Backup::Entry> entries = Backup::List(catalogue.Path());
    QCOMPARE(entries.size(), 1);
    QCOMPARE(Contents(entries[0].path), Contents(catalogue.Path()));
    QCOMPARE(Mode(entries[0].path), 0600);
    QCOMPARE(Mode(Backup::FolderOf(catalogue.Path())), 0700);
    QCOMPARE(Backup::CountSites(entries[0].path, &error), 2);

    // Unchanged: nothing new, whether made at a start or asked again.
    QCOMPARE(MakeNow(catalogue.Path()), Backup::Result::Unchanged);
    QCOMPARE(Backup::List(catalogue.Path()).size(), 1);

    catalogue.AddSite(QStringLiteral("Third"));
    QCOMPARE(MakeNow(catalogue.Path()), Backup::Result::Written);
    QCOMPARE(Backup::List(catalogue.Path()).size(), 2);
    QCOMPARE(Contents(Backup::List(catalogue.Path()).first().path), Contents(catalogue.Path()));

    // A newest backup the user removed is no reason to think the catalogue is backed up.
    QVERIFY(QFile::remove(Backup::List(catalogue.Path()).first().path));
    QCOMPARE(MakeNow(catalogue.Path()), Backup::Result::Written);
}

void TestBackup::eleventhBackupRemovesTheOldest() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    QStringList made;
    for (int i = 0; i < 11; ++i) {
        QCOMPARE(MakeNow(catalogue.Path(), false), Backup::Result::Written);
        made.prepend(Backup::List(catalogue.Path()).first().name);
    }
    QStringList kept;
    for (const Backup::Entry& entry : Backup::List(catalogue.Path()))
        kept << entry.name;
    QCOMPARE(kept, made.mid(0, 10));

    int keep = 0;
    qputenv(Backup::kKeepVariable, "3");
    QVERIFY(Backup::KeepFromEnvironment(&keep, nullptr));
    QCOMPARE(keep, 3);
    QCOMPARE(MakeNow(catalogue.Path(), false, nullptr, keep), Backup::Result::Written);
    QCOMPARE(Backup::List(catalogue.Path()).size(), 3);
    qputenv(Backup::kKeepVariable, "0");
    QVERIFY(!Backup::KeepFromEnvironment(&keep, nullptr));
    QCOMPARE(keep, Backup::kDefaultKeep);
    qunsetenv(Backup::kKeepVariable);
}

void TestBackup::firstChangeOfTheRunWaitsForTheCopy() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Fill(catalogue);
    const QString folder = Backup::FolderOf(catalogue.Path());
    QVERIFY(QDir().mkdir(folder));
    // Another copy's backup holds the folder while it checks and publishes its copy. Ours
    // copies meanwhile, and the first change waits for that copy alone. Should it wait for
    // the folder after all, it gets the folder back in the end rather than hang.
    const int held = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(held >= 0 && ::flock(held, LOCK_EX) == 0);
    std::mutex mutex;
    std::condition_variable posted;
    bool done = false;
    bool heldThroughout = false;
    std::thread other([&] {
        std::unique_lock lock(mutex);
        heldThroughout = posted.wait_for(lock, std::chrono::seconds(10), [&] { return done; });
        ::close(held);
    });
    {
        StartupBackup backup(catalogue.Path());
        Connection connection(catalogue.Path());
        connection.SetBeforeFirstWrite(
            [&backup](int waitMs) { return backup.WaitForCopy(waitMs); });
        backup.Start();
        Query query;
        query.SetConnection(&connection);
        query.SetSql(QStringLiteral("Select * From Web"));
        QVERIFY(query.Open(nullptr));
        query.Append();
        query.SetField(QStringLiteral("WebName"), QStringLiteral("made in this run"));
        QString error;
        const bool stored = query.Post(&error);
        {
            const std::lock_guard lock(mutex);
            done = true;
        }
        posted.notify_one();
        other.join();
        QVERIFY2(stored, qPrintable(error));
        QVERIFY(heldThroughout);
        QTRY_COMPARE(Backup::List(catalogue.Path()).size(), 1);
    }
    const QList<Backup::Entry> entries = Backup::List(catalogue.Path());
    QCOMPARE(entries.size(), 1);
    QCOMPARE(Rows(entries[0].path, "SELECT * FROM Web").size(), 2);
    QCOMPARE(Rows(catalogue.Path(), "SELECT * FROM Web").size(), 3);
}

void TestBackup::onlyWritesWakeTheFirstWriteHook() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Fill(catalogue);
    Connection connection(catalogue.Path());
    int calls = 0;
    connection.SetBeforeFirstWrite([&calls](int) {
        ++calls;
        return true;
    });
    Query query;
    query.SetConnection(&connection);
    query.SetSql(QStringLiteral("Select * From Web Where (WebIndex > 0) And (InStr(WebName,'S')) "
                                "Order By WebIndex"));
    QVERIFY(query.Open(nullptr));
    QVERIFY(Catalogue::CheckSchema(connection.Handle(), nullptr));
    // Reading must never wait for the copy: the window would appear only after it.
    QCOMPARE(calls, 0);
    query.Edit();
    query.SetField(QStringLiteral("WebUrl"), QStringLiteral("x"));
    QVERIFY(query.Post(nullptr));
    QVERIFY(query.Delete(nullptr));
    QCOMPARE(calls, 1);
}

void TestBackup::failureLeavesCatalogueAndBackupsAsTheyWere_data() {
    QTest::addColumn<QString>("cause");
    QTest::newRow("full disk") << QStringLiteral("full");
    QTest::newRow("read-only folder") << QStringLiteral("read-only");
    QTest::newRow("folder is a file") << QStringLiteral("file");
}

void TestBackup::failureLeavesCatalogueAndBackupsAsTheyWere() {
    QFETCH(QString, cause);
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Fill(catalogue, 60);
    const QString folder = Backup::FolderOf(catalogue.Path());
    if (cause == QLatin1String("file"))
        QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
    else
        QCOMPARE(MakeNow(catalogue.Path()), Backup::Result::Written);
    catalogue.AddSite(QStringLiteral("changed since"));
    const QByteArray before = Hash(catalogue.Path());
    const QStringList backups = Listing(folder);

    // In a child process, so that the limit or the mount stays there.
    int pipeFds[2];
    QVERIFY(::pipe(pipeFds) == 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[0]);
        if (cause == QLatin1String("full")) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit tiny{32768, 32768};
            ::setrlimit(RLIMIT_FSIZE, &tiny);
        } else if (cause == QLatin1String("read-only")) {
            // Permission bits do not stop root; a read-only bind mount does.
            const QByteArray path = QFile::encodeName(folder);
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) != 0 ||
                ::mount(nullptr, path.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                        nullptr) != 0)
                ::_exit(77);
        }
        QString error;
        const Backup::Result result = MakeNow(catalogue.Path(), true, &error);
        const QByteArray text = error.toUtf8();
        [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], text.constData(), text.size());
        ::_exit(result == Backup::Result::Failed ? 0 : 1);
    }
    ::close(pipeFds[1]);
    QByteArray message;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, n);
    ::close(pipeFds[0]);
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        QSKIP("mount namespaces are not allowed here");
    QVERIFY2(WEXITSTATUS(status) == 0, "the backup did not fail");
    QVERIFY2(message.contains(QFile::encodeName(folder)), message.constData());
    QCOMPARE(Hash(catalogue.Path()), before);
    QCOMPARE(Listing(folder), backups);
}

void TestBackup::restoreRoundTrip() {
    TempCatalogue catalogue;
    QStringList wanted;
    const QString good = FilledAndBackedUp(catalogue, &wanted);
    QVERIFY(!good.isEmpty());

    // A running copy keeps the file open while the site is deleted by mistake and
    // another added.
    sqlite3* running = nullptr;
    QCOMPARE(sqlite3_open_v2(QFile::encodeName(catalogue.Path()).constData(), &running,
                             SQLITE_OPEN_READWRITE, nullptr),
             SQLITE_OK);
    QVERIFY(catalogue.Exec(QStringLiteral("DELETE FROM Content WHERE ContentWeb = 1")));
    QVERIFY(catalogue.Exec(QStringLiteral("DELETE FROM Web WHERE WebIndex = 1")));
    catalogue.AddSite(QStringLiteral("added after"));
    const QStringList mistaken = Contents(catalogue.Path());

    QString savedAs;
    QString error;
    QVERIFY2(Backup::Restore(catalogue.Path(), good, Backup::kDefaultKeep, &savedAs, &error),
             qPrintable(error));
    QCOMPARE(Contents(catalogue.Path()), wanted);
    QCOMPARE(Mode(catalogue.Path()), 0600);
    QCOMPARE(Contents(QDir(Backup::FolderOf(catalogue.Path())).filePath(savedAs)), mistaken);
    // The running copy reads the restored catalogue, not a file that was replaced under it.
    sqlite3_stmt* st = nullptr;
    QCOMPARE(sqlite3_prepare_v2(running, "SELECT count(*) FROM Content", -1, &st, nullptr),
             SQLITE_OK);
    QCOMPARE(sqlite3_step(st), SQLITE_ROW);
    QCOMPARE(sqlite3_column_int(st, 0), 3);
    sqlite3_finalize(st);
    sqlite3_close(running);

    QVERIFY(
        !Backup::Restore(catalogue.Path(), QStringLiteral("../Sitemora.mdb"), 10, nullptr, &error));
}

void TestBackup::restoreOverDamagedOrMissingCatalogue() {
    TempCatalogue catalogue;
    QStringList wanted;
    const QString good = FilledAndBackedUp(catalogue, &wanted);
    QVERIFY(!good.isEmpty());

    // A disk error wiped the first page: not even a database any more.
    QFile file(catalogue.Path());
    QVERIFY(file.open(QIODevice::ReadWrite));
    file.write(QByteArray(4096, '\0'));
    file.close();
    const QByteArray damaged = Hash(catalogue.Path());
    QString savedAs;
    QString error;
    QVERIFY2(Backup::Restore(catalogue.Path(), good, 10, &savedAs, &error), qPrintable(error));
    QCOMPARE(Contents(catalogue.Path()), wanted);
    QCOMPARE(Hash(QDir(Backup::FolderOf(catalogue.Path())).filePath(savedAs)), damaged);

    QVERIFY(QFile::remove(catalogue.Path()));
    QVERIFY2(Backup::Restore(catalogue.Path(), good, 10, &savedAs, &error), qPrintable(error));
    QCOMPARE(Contents(catalogue.Path()), wanted);
    QCOMPARE(Mode(catalogue.Path()), 0600);
}

void TestBackup::backupWhileAnotherConnectionWritesIsConsistent() {
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    Fill(catalogue, 150);
    std::atomic<bool> done{false};
    Backup::Result result = Backup::Result::Failed;
    QString error;
    std::thread copier([&] {
        result = Backup::Make(catalogue.Path(), Backup::Options(), nullptr, &error);
        done = true;
    });
    // Each transaction adds a site with its paragraph: a copy of any one moment holds both
    // or neither.
    sqlite3* other = nullptr;
    sqlite3_open_v2(QFile::encodeName(catalogue.Path()).constData(), &other, SQLITE_OPEN_READWRITE,
                    nullptr);
    sqlite3_busy_timeout(other, 5000);
    // As many as fit while the copy runs, and at least one, however fast the copy is.
    int writes = 0;
    do {
        QCOMPARE(sqlite3_exec(other,
                              "BEGIN IMMEDIATE; INSERT INTO Web (WebName) VALUES ('w');"
                              "INSERT INTO Content (ContentWeb, ContentTxt) "
                              "VALUES (last_insert_rowid(), 'p'); COMMIT",
                              nullptr, nullptr, nullptr),
                 SQLITE_OK);
        ++writes;
    } while (!done && writes < 50);
    sqlite3_close(other);
    copier.join();
    QVERIFY2(result == Backup::Result::Written, qPrintable(error));
    QVERIFY(writes > 0);
    const QString copy = Backup::List(catalogue.Path()).first().path;
    QCOMPARE(Rows(copy, "PRAGMA integrity_check"), QStringList{"ok"});
    QCOMPARE(Rows(copy, "SELECT count(*) FROM Web WHERE WebName = 'w' AND WebIndex NOT IN "
                        "(SELECT ContentWeb FROM Content)"),
             QStringList{"0"});
    QCOMPARE(Rows(copy, "SELECT count(*) FROM Content WHERE ContentWeb NOT IN "
                        "(SELECT WebIndex FROM Web)"),
             QStringList{"0"});
}

QTEST_GUILESS_MAIN(TestBackup)
#include "tst_backup.moc"
