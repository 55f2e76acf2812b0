// The start from the desktop menu: the command line, the user's catalogue folder, and the
// first window over it, wired as main() wires it.
#include "CommandLine.h"
#include "DataGrid.h"
#include "DesktopOpener.h"
#include "Session.h"
#include "StartOptions.h"
#include "support/RecordingDialogs.h"
#include "support/TempCatalogue.h"
#include "UserFolder.h"

#include <QDir>
#include <QFile>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

struct IgnoringOpener : DesktopOpener {
    void Open(const QString&, FailureReport) override {}
};

// The windows as main() builds them, over the catalogue in the current directory.
struct Started {
    RecordingDialogs dialogs;
    IgnoringOpener opener;
    Session session{dialogs, opener};

    bool Show() {
        session.FormMain().show();
        return QTest::qWaitForWindowExposed(&session.FormMain());
    }
    DataGrid* List() { return session.FormMain().DBGridEh1; }
};

int Mode(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return static_cast<int>(info.st_mode & 07777);
}

int Parse(QStringList args, StartOptions* options) {
    args.prepend(QStringLiteral("sitemora"));
    QList<QByteArray> bytes;
    for (const QString& arg : args)
        bytes << arg.toUtf8();
    QList<char*> argv;
    for (QByteArray& arg : bytes)
        argv << arg.data();
    return ParseStartOptions(static_cast<int>(argv.size()), argv.data(), options);
}

} // namespace

class TestStart : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void options_data();
    void options();
    void folderFollowsDataHome();
    void firstStartShowsEmptyCatalogueAndNoBox();
    void laterStartKeepsCatalogueAndFolder();
    void unusableFolderIsReportedAndNothingMoves();
    void startMakesItsBackup();

private:
    QTemporaryDir scratch_;
    QString savedCwd_;
    QByteArray savedHome_;
    QByteArray savedDataHome_;
};

void TestStart::init() {
    QVERIFY(scratch_.isValid());
    savedCwd_ = QDir::currentPath();
    savedHome_ = qgetenv("HOME");
    savedDataHome_ = qgetenv("XDG_DATA_HOME");
    QVERIFY(QDir().mkpath(scratch_.filePath(QStringLiteral("home"))));
    qputenv("HOME", QFile::encodeName(scratch_.filePath(QStringLiteral("home"))));
    QDir::setCurrent(scratch_.filePath(QStringLiteral("home")));
}

void TestStart::cleanup() {
    QDir::setCurrent(savedCwd_);
    qputenv("HOME", savedHome_);
    qputenv("XDG_DATA_HOME", savedDataHome_);
    QDir(scratch_.path()).removeRecursively();
    QDir().mkpath(scratch_.path());
}

void TestStart::options_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("userCatalogue");
    QTest::newRow("none: the current directory") << QStringList() << CommandLine::kGoOn << false;
    QTest::newRow("menu start") << QStringList{"--user-catalogue"} << CommandLine::kGoOn << true;
    QTest::newRow("Qt's own options pass")
        << QStringList{"-platform", "offscreen", "-reverse", "--user-catalogue"}
        << CommandLine::kGoOn << true;
    QTest::newRow("unknown option")
        << QStringList{"--catalogue"} << CommandLine::kWrongUsage << false;
    QTest::newRow("a file name") << QStringList{"Sitemora.mdb"} << CommandLine::kWrongUsage
                                 << false;
}

void TestStart::options() {
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(bool, userCatalogue);
    StartOptions options;
    QCOMPARE(Parse(args, &options), status);
    QCOMPARE(options.userCatalogue, userCatalogue);
}

void TestStart::folderFollowsDataHome() {
    const QString home = scratch_.filePath(QStringLiteral("home"));
    const QString fallback = home + QStringLiteral("/.local/share/sitemora");
    qunsetenv("XDG_DATA_HOME");
    QCOMPARE(UserCatalogueFolder(), fallback);
    qputenv("XDG_DATA_HOME", "");
    QCOMPARE(UserCatalogueFolder(), fallback);
    // Relative paths are invalid there; the file must not land wherever the menu starts us.
    qputenv("XDG_DATA_HOME", "data");
    QCOMPARE(UserCatalogueFolder(), fallback);
    qputenv("XDG_DATA_HOME", QFile::encodeName(scratch_.filePath(QStringLiteral("d/"))));
    QCOMPARE(UserCatalogueFolder(), scratch_.filePath(QStringLiteral("d/sitemora")));
}

void TestStart::firstStartShowsEmptyCatalogueAndNoBox() {
    qunsetenv("XDG_DATA_HOME");
    const QString folder = UserCatalogueFolder();
    QString error;
    QVERIFY2(EnterCatalogueFolder(folder, &error), qPrintable(error));

    QCOMPARE(QDir::currentPath(), folder);
    const QString home = scratch_.filePath(QStringLiteral("home"));
    for (const QString& made : {home + "/.local", home + "/.local/share", folder})
        QCOMPARE(Mode(made), 0700);
    QCOMPARE(Mode(folder + QStringLiteral("/Sitemora.mdb")), 0600);
    QVERIFY(!QFile::exists(home + QStringLiteral("/Sitemora.mdb")));

    Started started;
    QVERIFY(started.Show());
    QCOMPARE(started.dialogs.Shown(), 0);
    QCOMPARE(started.List()->View()->model()->rowCount(), 0);
    QCOMPARE(started.List()->FooterText(1), QStringLiteral("0"));
}

void TestStart::laterStartKeepsCatalogueAndFolder() {
    // The folder may also be a link to one kept elsewhere; either way it is used as it is.
    TempCatalogue existing;
    QVERIFY(existing.IsValid());
    QVERIFY(existing.AddSite(QStringLiteral("新浪"), QStringLiteral("http://a.cn/")) > 0);
    QVERIFY(::chmod(QFile::encodeName(existing.Dir()).constData(), 0750) == 0);
    const QString dataHome = scratch_.filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkpath(dataHome));
    QVERIFY(QFile::link(existing.Dir(), dataHome + QStringLiteral("/sitemora")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome));

    QString error;
    QVERIFY2(EnterCatalogueFolder(UserCatalogueFolder(), &error), qPrintable(error));
    QCOMPARE(Mode(QDir::currentPath()), 0750);

    Started started;
    QVERIFY(started.Show());
    QCOMPARE(started.dialogs.Shown(), 0);
    QCOMPARE(started.List()->View()->model()->rowCount(), 1);
}

void TestStart::unusableFolderIsReportedAndNothingMoves() {
    // Whatever the reason (a file in the way here; permissions alone would not stop root).
    const QString blocker = scratch_.filePath(QStringLiteral("data"));
    QFile file(blocker);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_DATA_HOME", QFile::encodeName(blocker));
    const QString before = QDir::currentPath();

    QString error;
    QVERIFY(!EnterCatalogueFolder(UserCatalogueFolder(), &error));
    // Said in the window, in the window's language, with the system's reason kept.
    QVERIFY2(error.startsWith(QStringLiteral("无法创建文件夹 ") + blocker), qPrintable(error));
    QVERIFY2(error.endsWith(QString::fromLocal8Bit(std::strerror(ENOTDIR))), qPrintable(error));
    QCOMPARE(QDir::currentPath(), before);
    QVERIFY(QDir(before).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void TestStart::startMakesItsBackup() {
    // The start the program makes: its backup comes once the window is up.
    TempCatalogue catalogue;
    QVERIFY(catalogue.IsValid());
    QVERIFY(catalogue.AddSite(QStringLiteral("新浪")) > 0);
    QVERIFY(catalogue.EnterDir());
    Started started;
    QVERIFY(started.Show());
    QTRY_COMPARE(QDir(catalogue.FilePath(QStringLiteral("Sitemora.mdb.backups")))
                     .entryList({QStringLiteral("*.mdb")})
                     .size(),
                 1);
}

QTEST_MAIN(TestStart)
#include "tst_start.moc"
