#include "DesktopOpener.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

// "https://", "mailto:" and the like; "example.com:8080" is a host and port, not a
// scheme, so a colon followed by a digit does not count.
bool HasScheme(const QString& address) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.\\-]*:(?![0-9])"));
    return scheme.match(address).hasMatch();
}

} // namespace

QUrl DesktopUrlFor(const QString& text) {
    // Spaces around a pasted address are not part of it; the shell ignored them too.
    const QString address = text.trimmed();
    if (address.isEmpty())
        return QUrl();
    const QFileInfo file(address);
    if (file.exists())
        return QUrl::fromLocalFile(file.absoluteFilePath());
    if (HasScheme(address))
        return QUrl(address, QUrl::TolerantMode);
    return QUrl(QStringLiteral("http://") + address, QUrl::TolerantMode);
}

void SystemDesktopOpener::Open(const QString& text) {
    const QUrl url = DesktopUrlFor(text);
    if (url.isValid())
        QDesktopServices::openUrl(url);
}
