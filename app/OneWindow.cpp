#include "OneWindow.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QWidget>

namespace {
constexpr int kAnswerMs = 2000;
}

OneWindow::OneWindow(const QString& catalogue) : path_(SocketPath(catalogue)) {
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
        }
        Raise();
    });
}

OneWindow::~OneWindow() = default;

// The runtime folder is the user's alone (Qt makes it 0700 when it has to), so the name
// need not say whose it is; the catalogue's real path tells one catalogue from another.
QString OneWindow::SocketPath(const QString& catalogue) {
    const QByteArray real = QFileInfo(catalogue).canonicalFilePath().toUtf8();
    const QString key = QString::fromLatin1(
        QCryptographicHash::hash(real, QCryptographicHash::Sha256).toHex().left(24));
    return QDir(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation))
        .filePath(QStringLiteral("sitemora-") + key);
}

bool OneWindow::HandedOver() {
    // Two starts at the same moment must not both find no one and both listen.
    lock_ = std::make_unique<QLockFile>(path_ + QStringLiteral(".lock"));
    lock_->lock();
    QLocalSocket running;
    running.connectToServer(path_);
    if (running.waitForConnected(kAnswerMs)) {
        running.waitForDisconnected(kAnswerMs);
        return true;
    }
    // What is left of a copy that did not end cleanly answers no one.
    QLocalServer::removeServer(path_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.listen(path_);
    lock_->unlock();
    return false;
}

void OneWindow::Raise() {
    // An open editor or search dialog is what the user was last working in.
    QWidget* window = QApplication::activeModalWidget();
    if (!window)
        window = window_;
    if (!window)
        return;
    if (window_ && window_->isMinimized())
        window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}
