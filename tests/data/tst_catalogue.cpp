#include "Catalogue.h"
#include "support/TempCatalogue.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestCatalogue : public QObject {
    Q_OBJECT
private slots:
    void createsEmptyOwnerOnlyCatalogue();
    void refusesToOverwrite();
    void publishingFailsWhenTheTemporaryNameStays();
};

void TestCatalogue::createsEmptyOwnerOnlyCatalogue() {
    TempCatalogue dir(TempCatalogue::Start::WithoutFile);
    const mode_t previous = ::umask(0);
    QString error;
    const bool created = Catalogue::CreateEmpty(dir.Path(), &error);
    ::umask(previous);
    QVERIFY2(created, qPrintable(error));

    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(dir.Path()).constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, mode_t(0600));
    QCOMPARE(QDir(dir.Dir()).entryList(QDir::Files | QDir::Hidden), QStringList{"Sitemora.mdb"});

    QCOMPARE(dir.Count("SELECT count(*) FROM Web"), 0);
    QCOMPARE(dir.Count("SELECT count(*) FROM Content"), 0);
    QCOMPARE(dir.Count("SELECT count(*) FROM pragma_table_info('Web')"),
             1 + Catalogue::WebTextColumns().size());
    QCOMPARE(dir.ScalarText("SELECT group_concat(name, ',') FROM pragma_table_info('Content')"),
             QStringLiteral("ContentIndex,ContentWeb,ContentTxt"));
    // Paragraphs may name a site that does not exist (0 for an orphan).
    QVERIFY(dir.AddParagraph(12345, "orphan") > 0);
}

void TestCatalogue::refusesToOverwrite() {
    TempCatalogue catalogue;
    QVERIFY2(catalogue.IsValid(), qPrintable(catalogue.LastError()));
    catalogue.AddSite("precious");
    QString error;
    QVERIFY(!Catalogue::CreateEmpty(catalogue.Path(), &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(catalogue.ScalarText("SELECT WebName FROM Web"), QStringLiteral("precious"));

    // Not even a file that is not a catalogue, nor a link pointing nowhere.
    const QString other = catalogue.FilePath("notes.txt");
    QFile file(other);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("keep me");
    file.close();
    QVERIFY(!Catalogue::CreateEmpty(other, &error));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep me"));

    const QString dangling = catalogue.FilePath("dangling.mdb");
    QVERIFY(QFile::link(catalogue.FilePath("nowhere"), dangling));
    QVERIFY(!Catalogue::CreateEmpty(dangling, &error));
    QVERIFY(!QFile::exists(catalogue.FilePath("nowhere")));

    // Failed attempts leave no half-made files behind.
    QStringList left =
        QDir(catalogue.Dir())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    left.sort();
    QCOMPARE(left, (QStringList{"Sitemora.mdb", "dangling.mdb", "notes.txt"}));
}

namespace {

// Sets or clears the append-only flag of a folder: names may be added to it, never
// removed, whoever asks. Only root may set it; false where it cannot be set.
bool SetAppendOnly(const QString& folder, bool on) {
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

// The temporary file lies in a folder that gives up no name (read-only for a user,
// append-only for root): the file must not end up published under both names.
void TestCatalogue::publishingFailsWhenTheTemporaryNameStays() {
    QTemporaryDir locked;
    QTemporaryDir target;
    const QString temp = locked.filePath(".Sitemora.mdb.tmp");
    const QString probe = locked.filePath("probe");
    for (const QString& path : {temp, probe}) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("catalogue") > 0);
    }
    const auto unlock = qScopeGuard([&] {
        SetAppendOnly(locked.path(), false);
        QFile::setPermissions(locked.path(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    QVERIFY(QFile::setPermissions(locked.path(), QFile::ReadOwner | QFile::ExeOwner));
    SetAppendOnly(locked.path(), true);
    if (::unlink(QFile::encodeName(probe).constData()) == 0)
        QSKIP("no folder here refuses to give up a name");

    QString error;
    const QString published = target.filePath("Sitemora.mdb");
    QVERIFY(!Catalogue::PublishNoClobber(temp, published, &error));
    QVERIFY2(error.startsWith(QStringLiteral("cannot remove %1: ").arg(temp)), qPrintable(error));
    QVERIFY(!QFile::exists(published));
    QVERIFY(QFile::exists(temp));
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
