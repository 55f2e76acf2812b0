#pragma once

#include <QByteArrayView>

namespace Merge {

// Browsers write a dozen attributes on a tag at most. libxml2 compares each attribute of
// a tag with every one before it, so one tag of 200,000 takes it most of a minute; at
// this bound the largest file accepted, made of nothing but such tags, takes it about as
// long as a real bookmark file of that size.
inline constexpr int kMaxAttributes = 100;

// The offset of the first start tag in `text` with more than kMaxAttributes attributes,
// or -1. Reads the text once, the way libxml2's HTML parser splits it into comments,
// end tags, start tags with their quoted values, and script, so that the tags counted
// are the ones the parser will see.
qsizetype TagWithTooManyAttributes(QByteArrayView text);

} // namespace Merge
