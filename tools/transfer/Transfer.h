#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// What the export and the merge both know: the names that identify the JSON format, which
// addresses a browser takes as pages.
namespace Transfer {

// The first two members of every JSON export. A reader refuses a higher version: it
// would not know what the newer fields mean and could lose them.
inline constexpr const char* kJsonFormatName = "sitemora-catalogue";
inline constexpr int kJsonFormatVersion = 1;

// http, https, ftp and file: what a browser opens as a page. Other schemes (javascript:,
// data:, place:) run code or mean something only to the program that wrote them.
bool IsPageScheme(const QString& scheme);

// The address a browser is given for a site's address as the user typed it: the one the
// program itself opens (Address::ForOpening); empty when the text is blank or names a
// scheme that is not a page's.
QString BrowserAddress(const QString& typed);

// UTF-8 as text with every character kept: QString::fromUtf8 drops a U+FEFF at the start,
// which at the start of a name or an address is the user's own character.
QString FromUtf8(QByteArrayView utf8);

} // namespace Transfer
