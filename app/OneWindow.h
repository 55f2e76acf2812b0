#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

class QWidget;

// Keeps a user's starts on one catalogue to one window: a later start finds the running
// copy through a local socket named after the user and the catalogue, asks it to come to
// the front, and ends.
class OneWindow : public QObject {
public:
    explicit OneWindow(const QString& catalogue);
    ~OneWindow() override;
    OneWindow(const OneWindow&) = delete;
    OneWindow& operator=(const OneWindow&) = delete;

    // Whether a copy already runs on the catalogue and has been asked to show its window;
    // this start should then end. Otherwise this copy answers later starts from now on.
    bool HandedOver();
    // The window that later starts bring to the front.
    void Serve(QWidget* window) { window_ = window; }

    // Where the socket of `catalogue` lives: in the user's own runtime folder.
    static QString SocketPath(const QString& catalogue);

private:
    void Raise();

    QString path_;
    QLocalServer server_;
    std::unique_ptr<QLockFile> lock_;
    QPointer<QWidget> window_;
};
