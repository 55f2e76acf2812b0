#include "DesktopOpener.h"

#include "Address.h"

#include <QProcess>
#include <QTemporaryFile>

namespace {

// What xdg-open's exit status means, as its manual lists them.
QString ExitReason(int status) {
    switch (status) {
    case 1:
        return QStringLiteral("xdg-open 不接受这个地址");
    case 2:
        return QStringLiteral("文件不存在");
    case 3:
        return QStringLiteral("没有能打开它的程序");
    case 4:
        return QStringLiteral("打开它的程序失败了");
    default:
        return QStringLiteral("xdg-open 以状态 %1 结束").arg(status);
    }
}

} // namespace

QUrl DesktopUrlFor(const QString& text) {
    return QUrl(Address::ForOpening(text), QUrl::TolerantMode);
}

void SystemDesktopOpener::Open(const QString& text, FailureReport failed) {
    const QUrl url = DesktopUrlFor(text);
    if (!url.isValid())
        return;
    auto* launch = new QProcess(&running_);
    // Standard error goes to a file, not a pipe: the program xdg-open starts inherits it
    // and may go on writing long after xdg-open is gone and the pipe would be closed.
    auto* errors = new QTemporaryFile(launch);
    launch->setStandardErrorFile(errors->open() ? errors->fileName() : QProcess::nullDevice());
    launch->setStandardInputFile(QProcess::nullDevice());
    launch->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    QObject::connect(
        launch, &QProcess::errorOccurred, launch, [launch, failed](QProcess::ProcessError error) {
            if (error != QProcess::FailedToStart)
                return;
            failed(QStringLiteral("无法启动 xdg-open（%1）").arg(launch->errorString()));
            launch->deleteLater();
        });
    QObject::connect(launch, &QProcess::finished, launch,
                     [launch, errors, failed](int status, QProcess::ExitStatus exit) {
                         launch->deleteLater();
                         if (exit == QProcess::NormalExit && status == 0)
                             return;
                         QString reason = exit == QProcess::NormalExit
                                              ? ExitReason(status)
                                              : QStringLiteral("xdg-open 异常结束");
                         const QString said = QString::fromLocal8Bit(errors->read(4096)).trimmed();
                         if (!said.isEmpty())
                             reason += QLatin1Char('\n') + said;
                         failed(reason);
                     });
    launch->start(QStringLiteral("xdg-open"), {QString::fromLatin1(url.toEncoded())});
}
