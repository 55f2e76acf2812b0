#pragma once

#include <QString>

// How a site's address, as the user typed it, is handed on: to the desktop by the
// editor's "Open", to a browser by the bookmark export. Both follow the same rule so
// that an address opens as the place it is exported as.
namespace Address {

// The scheme of an address ("https" for "HTTPS://x"), lower-cased; empty when it has
// none. "example.com:8080" is a host and port, not a scheme.
QString SchemeOf(const QString& address);

// The address to open for a typed text, spaces around it dropped. A text starting with
// "/" is a local path and becomes a file: address, whether or not the file exists on
// this computer (the catalogue may come from another); any other text without a scheme
// is a web address and gets "http://"; a text with a scheme stays as it is. Empty for a
// blank text.
QString ForOpening(const QString& typed);

} // namespace Address
