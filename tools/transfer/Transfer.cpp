#include "Transfer.h"

#include "Address.h"

#include <QStringDecoder>

namespace Transfer {

QString FromUtf8(QByteArrayView utf8) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                       QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(utf8);
}

bool IsPageScheme(const QString& scheme) {
    return scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
           scheme == QLatin1String("ftp") || scheme == QLatin1String("file");
}

QString BrowserAddress(const QString& typed) {
    const QString address = Address::ForOpening(typed);
    return IsPageScheme(Address::SchemeOf(address)) ? address : QString();
}

} // namespace Transfer
