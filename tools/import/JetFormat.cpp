#include "JetFormat.h"

#include <QFile>

#include <string>

namespace Legacy {

namespace {
// The version byte at offset 0x14 of the header page.
constexpr unsigned char kJet3Version = 0x00;
constexpr unsigned char kJet4Version = 0x01;
} // namespace

Format Sniff(const QString& path, QString* detail) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *detail = file.errorString();
        return Format::NotJet;
    }
    const QByteArray head = file.read(0x15);
    if (head.isEmpty()) {
        *detail = QStringLiteral("the file is empty");
        return Format::NotJet;
    }
    if (head.startsWith(QByteArrayLiteral("SQLite format 3\0"))) {
        *detail = QStringLiteral("it is already an SQLite database, perhaps a converted catalogue");
        return Format::NotJet;
    }
    if (head.size() < 0x15) {
        *detail = QStringLiteral("the file is too short to be a Jet database");
        return Format::NotJet;
    }
    const QByteArray magic = head.mid(4, 16);
    if (magic == QByteArrayLiteral("Standard ACE DB\0")) {
        *detail =
            QStringLiteral("it is in the Access 2007 or later format, which is not supported");
        return Format::Newer;
    }
    if (magic != QByteArrayLiteral("Standard Jet DB\0")) {
        *detail = QStringLiteral("it is not a Jet (Access) database");
        return Format::NotJet;
    }
    switch (static_cast<unsigned char>(head[0x14])) {
    case kJet3Version:
        return Format::Jet3;
    case kJet4Version:
        return Format::Jet4;
    default:
        *detail =
            QStringLiteral("it is in an Access format newer than Jet 4, which is not supported");
        return Format::Newer;
    }
}

bool DecodeJet4Text(const unsigned char* bytes, std::size_t size, QByteArray* utf8) {
    std::u16string units;
    bool whole = true;
    if (size >= 2 && bytes[0] == 0xff && bytes[1] == 0xfe) {
        units.reserve(size - 2);
        // Compressed form: a zero byte switches between one byte per character (the
        // high byte is zero) and plain UTF-16LE. Jet only compresses strings whose
        // characters never have a zero low byte, so the switch is unambiguous.
        bool compressed = true;
        std::size_t i = 2;
        while (i < size) {
            if (bytes[i] == 0) {
                compressed = !compressed;
                ++i;
            } else if (compressed) {
                units.push_back(char16_t(bytes[i]));
                ++i;
            } else if (i + 1 < size) {
                units.push_back(char16_t(bytes[i] | bytes[i + 1] << 8));
                i += 2;
            } else {
                whole = false;
                break;
            }
        }
    } else {
        units.reserve(size / 2);
        for (std::size_t i = 0; i + 1 < size; i += 2)
            units.push_back(char16_t(bytes[i] | bytes[i + 1] << 8));
        whole = size % 2 == 0;
    }
    // Surrogate pairs become one four-byte UTF-8 character; libmdb's UCS-2 decoder
    // turns them into "??".
    *utf8 = QString::fromUtf16(units.data(), qsizetype(units.size())).toUtf8();
    return whole;
}

} // namespace Legacy
