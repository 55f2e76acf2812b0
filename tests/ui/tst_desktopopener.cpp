// The real hand-off to the desktop, with xdg-open played by small scripts on PATH so
// that no browser is ever started.
#include "DesktopOpener.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestDesktopOpener : public QObject {
    Q_OBJECT
private slots:
    void init() {
        bin_ = std::make_unique<QTemporaryDir>();
        QVERIFY(bin_->isValid());
    }
    void cleanup() { qputenv("PATH", path_); }

    void failureSaysWhatXdgOpenSaid();
    void missingXdgOpenIsAFailure();

private:
    // Puts an xdg-open with `body` first on PATH.
    bool FakeXdgOpen(const QByteArray& body) {
        QFile script(bin_->filePath("xdg-open"));
        if (!script.open(QIODevice::WriteOnly) || script.write("#!/bin/sh\n" + body) < 0)
            return false;
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", QFile::encodeName(bin_->path()));
        return true;
    }

    // A folder of its own for each test, holding only what the test puts there.
    std::unique_ptr<QTemporaryDir> bin_;
    const QByteArray path_ = qgetenv("PATH");
};

void TestDesktopOpener::failureSaysWhatXdgOpenSaid() {
    QVERIFY(FakeXdgOpen("printf '%s' \"$1\" > \"${0%/*}/given\"\n"
                        "echo \"xdg-open: no method available for opening '$1'\" >&2\n"
                        "exit 3\n"));
    SystemDesktopOpener opener;
    QStringList reasons;
    opener.Open(QStringLiteral(" /x/y "), [&](const QString& reason) { reasons << reason; });
    QTRY_COMPARE(reasons.size(), 1);
    QCOMPARE(reasons[0], QStringLiteral("没有能打开它的程序\n"
                                        "xdg-open: no method available for opening 'file:///x/y'"));
    QFile given(bin_->filePath("given"));
    QVERIFY(given.open(QIODevice::ReadOnly));
    QCOMPARE(given.readAll(), QByteArray("file:///x/y"));
}

void TestDesktopOpener::missingXdgOpenIsAFailure() {
    qputenv("PATH", QFile::encodeName(bin_->path()));
    SystemDesktopOpener opener;
    QStringList reasons;
    opener.Open(QStringLiteral("www.example.cn"),
                [&](const QString& reason) { reasons << reason; });
    QTRY_COMPARE(reasons.size(), 1);
    QVERIFY2(reasons[0].startsWith(QStringLiteral("无法启动 xdg-open")), qPrintable(reasons[0]));
}

QTEST_GUILESS_MAIN(TestDesktopOpener)
#include "tst_desktopopener.moc"
