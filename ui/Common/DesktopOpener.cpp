#include "DesktopOpener.h"

#include "Address.h"

#include <QDesktopServices>

QUrl DesktopUrlFor(const QString& text) {
    return QUrl(Address::ForOpening(text), QUrl::TolerantMode);
}

void SystemDesktopOpener::Open(const QString& text) {
    const QUrl url = DesktopUrlFor(text);
    if (url.isValid())
        QDesktopServices::openUrl(url);
}
