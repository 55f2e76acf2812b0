// The program itself on an X server with a real window manager (openbox on Xvfb): what the window
// manager lets a user do with the main window, and what a second start from the menu does.
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <functional>
#include <memory>

namespace {

// A short-lived X tool's standard output; empty when it fails.
QString Ask(const QString& program, const QStringList& args) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return {};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// Polls `done` until it holds or twenty seconds have passed: the whole suite may be
// running beside it.
bool Eventually(const std::function<bool()>& done) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > 20000)
            return false;
        QThread::msleep(20);
    }
    return true;
}

int Field(const QString& text, const QString& name) {
    const QRegularExpression re(name + QStringLiteral(":\\s*(-?\\d+)"));
    return re.match(text).captured(1).toInt();
}

// Where the window's client area is on the screen.
QRect Geometry(const QString& window) {
    const QString info = Ask(QStringLiteral("xwininfo"), {QStringLiteral("-id"), window});
    return {Field(info, QStringLiteral("Absolute upper-left X")),
            Field(info, QStringLiteral("Absolute upper-left Y")),
            Field(info, QStringLiteral("Width")), Field(info, QStringLiteral("Height"))};
}

QString Property(const QString& window, const char* name) {
    QStringList args{QStringLiteral("-id"), window, QString::fromLatin1(name)};
    if (window.isEmpty())
        args = QStringList{QStringLiteral("-root"), QString::fromLatin1(name)};
    return Ask(QStringLiteral("xprop"), args);
}

void Xdotool(const QStringList& args) {
    Ask(QStringLiteral("xdotool"), args);
}

} // namespace

class TestProgram : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void maximizeRestoreAndAFixedBorder();
    void secondMenuStartRaisesTheFirstWindow();
    void missingCatalogueIsNamedOnStandardError();

private:
    // Starts the program in `dir` with `args`; the process lives until cleanup().
    QProcess* Start(const QString& dir, const QStringList& args);
    // The program's top-level window, once mapped.
    QString WindowOf(QProcess* process);

    QProcess server_;
    QProcess windowManager_;
    std::unique_ptr<QTemporaryDir> scratch_;
    QList<QProcess*> started_;
};

void TestProgram::initTestCase() {
    // Xvfb picks a free display itself and says which, so that runs side by side never
    // race for one.
    server_.start(QStringLiteral("Xvfb"),
                  {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                   QStringLiteral("0"), QStringLiteral("1280x800x24"), QStringLiteral("-nolisten"),
                   QStringLiteral("tcp")});
    QVERIFY2(server_.waitForStarted(), "Xvfb is not installed");
    QByteArray display;
    QVERIFY(Eventually([&] {
        server_.waitForReadyRead(50);
        display += server_.readAllStandardOutput();
        return display.endsWith('\n');
    }));
    qputenv("DISPLAY", ":" + display.trimmed());
    windowManager_.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
    QVERIFY2(windowManager_.waitForStarted(), "openbox is not installed");
    QVERIFY(Eventually([] {
        return Ask(QStringLiteral("wmctrl"), {QStringLiteral("-m")})
            .contains(QStringLiteral("Openbox"));
    }));
}

void TestProgram::cleanupTestCase() {
    windowManager_.terminate();
    windowManager_.waitForFinished();
    server_.terminate();
    server_.waitForFinished();
}

void TestProgram::init() {
    scratch_ = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch_->isValid());
    QVERIFY(QDir().mkpath(scratch_->filePath(QStringLiteral("runtime"))));
    QFile::setPermissions(scratch_->filePath(QStringLiteral("runtime")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestProgram::cleanup() {
    for (QProcess* process : started_) {
        process->kill();
        process->waitForFinished();
        delete process;
    }
    started_.clear();
    scratch_.reset();
}

QProcess* TestProgram::Start(const QString& dir, const QStringList& args) {
    auto* process = new QProcess;
    started_ << process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), scratch_->filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), scratch_->filePath(QStringLiteral("runtime")));
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(dir);
    process->start(QStringLiteral(SITEMORA_PROGRAM), args);
    process->waitForStarted();
    return process;
}

QString TestProgram::WindowOf(QProcess* process) {
    QString window;
    Eventually([&] {
        window = Ask(QStringLiteral("xdotool"),
                     {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                      QStringLiteral("--pid"), QString::number(process->processId()),
                      QStringLiteral("--name"), QStringLiteral("Sitemora")})
                     .section(QLatin1Char('\n'), 0, 0);
        return !window.isEmpty() && Geometry(window).width() > 0;
    });
    return window;
}

void TestProgram::maximizeRestoreAndAFixedBorder() {
    QProcess* program = Start(scratch_->path(), {QStringLiteral("--user-catalogue")});
    const QString window = WindowOf(program);
    QVERIFY(!window.isEmpty());
    const QRect first = Geometry(window);
    QCOMPARE(first.size(), QSize(762, 493));
    QVERIFY(Property(window, "_NET_WM_ALLOWED_ACTIONS").contains("_NET_WM_ACTION_MAXIMIZE_HORZ"));

    const auto maximized = [&] { return Geometry(window).width() == 1280; };
    const auto restored = [&] { return Geometry(window) == first; };
    Ask(QStringLiteral("wmctrl"),
        {QStringLiteral("-i"), QStringLiteral("-r"), window, QStringLiteral("-b"),
         QStringLiteral("add,maximized_vert,maximized_horz")});
    QVERIFY(Eventually(maximized));
    QVERIFY(Geometry(window).height() > 700);
    Ask(QStringLiteral("wmctrl"),
        {QStringLiteral("-i"), QStringLiteral("-r"), window, QStringLiteral("-b"),
         QStringLiteral("remove,maximized_vert,maximized_horz")});
    QVERIFY(Eventually(restored));

    // The frame's bottom-right corner is openbox's resize grip.
    const QStringList extents =
        Property(window, "_NET_FRAME_EXTENTS").section(QLatin1Char('='), 1).split(QLatin1Char(','));
    QCOMPARE(extents.size(), 4);
    const QPoint grip = first.bottomRight() +
                        QPoint(extents[1].trimmed().toInt(), extents[3].trimmed().toInt() - 1);
    Xdotool({QStringLiteral("mousemove"), QString::number(grip.x()), QString::number(grip.y()),
             QStringLiteral("mousedown"), QStringLiteral("1")});
    Xdotool({QStringLiteral("mousemove"), QString::number(grip.x() + 40),
             QString::number(grip.y() + 30)});
    Xdotool({QStringLiteral("mousemove"), QString::number(grip.x() + 120),
             QString::number(grip.y() + 90), QStringLiteral("mouseup"), QStringLiteral("1")});
    // The drag is over once openbox has let go of the pointer; xdotool's own round trip
    // to the server comes after it.
    Xdotool({QStringLiteral("getmouselocation")});
    QCOMPARE(Geometry(window), first);

    // A double-click on the title bar maximizes, as the box beside it does.
    const int titleY = first.top() - extents[2].trimmed().toInt() / 2;
    Xdotool({QStringLiteral("mousemove"), QString::number(first.center().x()),
             QString::number(titleY), QStringLiteral("click"), QStringLiteral("--repeat"),
             QStringLiteral("2"), QStringLiteral("--delay"), QStringLiteral("80"),
             QStringLiteral("1")});
    QVERIFY(Eventually(maximized));
}

void TestProgram::secondMenuStartRaisesTheFirstWindow() {
    QProcess* first = Start(scratch_->path(), {QStringLiteral("--user-catalogue")});
    const QString window = WindowOf(first);
    QVERIFY(!window.isEmpty());
    Xdotool({QStringLiteral("windowminimize"), window});
    QVERIFY(Eventually(
        [&] { return Property(window, "_NET_WM_STATE").contains("_NET_WM_STATE_HIDDEN"); }));

    QProcess* second = Start(scratch_->path(), {QStringLiteral("--user-catalogue")});
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(Eventually(
        [&] { return !Property(window, "_NET_WM_STATE").contains("_NET_WM_STATE_HIDDEN"); }));
    const QString active = QStringLiteral("0x%1").arg(window.toULongLong(), 0, 16);
    QVERIFY(Eventually([&] { return Property({}, "_NET_ACTIVE_WINDOW").endsWith(active); }));

    // Started without the option, in the same folder, it is a copy of its own.
    const QString folder = scratch_->filePath(QStringLiteral("data/sitemora"));
    QProcess* plain = Start(folder, {});
    QVERIFY(!WindowOf(plain).isEmpty());
    QCOMPARE(plain->state(), QProcess::Running);
}

void TestProgram::missingCatalogueIsNamedOnStandardError() {
    QProcess* program = Start(scratch_->path(), {});
    const QString expected = QDir(QFileInfo(scratch_->path()).canonicalFilePath())
                                 .filePath(QStringLiteral("Sitemora.mdb"));
    QByteArray err;
    QVERIFY(Eventually([&] {
        program->waitForReadyRead(50);
        err += program->readAllStandardError();
        return err.contains("sitemora-newdb") && err.contains("--user-catalogue");
    }));
    QVERIFY2(QString::fromUtf8(err).contains(expected), err.constData());
    // The window's own message is still shown: the program waits on it.
    QCOMPARE(program->state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(TestProgram)
#include "tst_program.moc"
