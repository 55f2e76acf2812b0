#include "Address.h"

#include <QUrl>

namespace Address {

QString SchemeOf(const QString& address) {
    // A letter, then letters, digits, "+", "." or "-", up to the colon; checked by hand
    // since a merge asks this of every address of a large catalogue.
    const auto isLetter = [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
    };
    if (address.isEmpty() || !isLetter(address[0]))
        return {};
    for (qsizetype i = 1; i < address.size(); ++i) {
        const QChar c = address[i];
        if (c == u':') {
            const bool port = i + 1 < address.size() && address[i + 1].isDigit();
            return port ? QString() : address.first(i).toLower();
        }
        if (!isLetter(c) && !(c >= u'0' && c <= u'9') && c != u'+' && c != u'.' && c != u'-')
            return {};
    }
    return {};
}

QString ForOpening(const QString& typed) {
    QString address = typed.trimmed();
    if (address.isEmpty())
        return {};
    if (address.startsWith(QLatin1Char('/')))
        return QUrl::fromLocalFile(address).toString(QUrl::FullyEncoded);
    if (SchemeOf(address).isEmpty())
        return QStringLiteral("http://") + address;
    return address;
}

} // namespace Address
