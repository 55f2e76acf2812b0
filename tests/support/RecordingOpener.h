#pragma once

#include "DesktopOpener.h"

#include <QString>
#include <QStringList>

// Keeps every address the editor hands to the desktop instead of starting a browser;
// with `failWith` set, the desktop answers that it could not open it, for that reason.
class RecordingOpener : public DesktopOpener {
public:
    void Open(const QString& text, FailureReport failed) override {
        opened_ << text;
        if (!failWith.isNull())
            failed(failWith);
    }
    const QStringList& Opened() const { return opened_; }
    QString failWith;

private:
    QStringList opened_;
};
