#pragma once

#include "LegacyFile.h"

// mdbtools.h wraps its glib include in extern "C", which breaks glib's C++ templates
// unless glib has been seen first.
#include <glib.h>
#include <mdbtools.h>

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

namespace Legacy {

class PageReader;

// The values of the rows libmdb cracks, decoded here: its own decoding truncates memos,
// folds missing values into empty text and mangles characters outside the basic plane.
class ValueDecoder {
public:
    ValueDecoder(MdbHandle* mdb, const PageReader& pages) : mdb_(mdb), pages_(pages) {}

    // Decodes `field` of column `col` in the row of `size` bytes at `start` of libmdb's
    // page buffer; `present` is what the row's null mask says of it. False with `*why`
    // when the value contradicts the row or cannot be read whole.
    bool Decode(const MdbColumn* col, const MdbField& field, bool present, int start,
                std::size_t size, Value* value, QString* why) const;

private:
    static bool Integer(int type, const unsigned char* bytes, std::size_t size,
                        std::int64_t* integer, QString* why);
    bool LongText(const unsigned char* bytes, std::size_t size, QByteArray* text,
                  QString* why) const;
    bool Text(const unsigned char* bytes, std::size_t size, QByteArray* text) const;

    MdbHandle* mdb_;
    const PageReader& pages_;
};

} // namespace Legacy
