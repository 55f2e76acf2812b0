#include "ValueDecoder.h"

#include "JetPages.h"

namespace Legacy {

bool ValueDecoder::Decode(const MdbColumn* col, const MdbField& field, bool present, int start,
                          std::size_t size, Value* value, QString* why) const {
    *value = Value{};
    if (!present) {
        if (!col->is_fixed && field.siz > 0) {
            *why =
                QStringLiteral("it holds %1 bytes but is marked as having no value").arg(field.siz);
            return false;
        }
        return true;
    }
    if (field.is_null) {
        *why = QStringLiteral("it is marked as having a value, but the row holds none");
        return false;
    }
    if (field.siz < 0 || field.start < start ||
        std::size_t(field.start) + std::size_t(field.siz) > std::size_t(start) + size) {
        *why = QStringLiteral("its value lies outside the row");
        return false;
    }
    value->null = false;
    const unsigned char* bytes = mdb_->pg_buf + field.start;
    const auto siz = std::size_t(field.siz);
    switch (col->col_type) {
    case MDB_BYTE:
    case MDB_INT:
    case MDB_LONGINT:
        return Integer(col->col_type, bytes, siz, &value->integer, why);
    case MDB_MEMO:
        return LongText(bytes, siz, &value->text, why);
    default:
        if (Text(bytes, siz, &value->text))
            return true;
        *why = QStringLiteral("its text has an odd number of bytes (%1), so its last "
                              "character is cut in half")
                   .arg(siz);
        return false;
    }
}

bool ValueDecoder::Integer(int type, const unsigned char* bytes, std::size_t size,
                           std::int64_t* integer, QString* why) {
    const std::size_t want = type == MDB_BYTE ? 1 : type == MDB_INT ? 2 : 4;
    if (size != want) {
        *why = QStringLiteral("its number has %1 bytes instead of %2").arg(size).arg(want);
        return false;
    }
    *integer = type == MDB_BYTE  ? std::int64_t(bytes[0])
               : type == MDB_INT ? std::int64_t(std::int16_t(U16(bytes)))
                                 : std::int64_t(std::int32_t(U32(bytes)));
    return true;
}

bool ValueDecoder::LongText(const unsigned char* bytes, std::size_t size, QByteArray* text,
                            QString* why) const {
    QByteArray raw;
    if (!ReadLongText(pages_, mdb_->fmt->row_count_offset, bytes, size, &raw, why))
        return false;
    if (Text(reinterpret_cast<const unsigned char*>(raw.constData()), std::size_t(raw.size()),
             text))
        return true;
    *why = QStringLiteral("its long text has an odd number of bytes (%1), so its last "
                          "character is cut in half")
               .arg(raw.size());
    return false;
}

bool ValueDecoder::Text(const unsigned char* bytes, std::size_t size, QByteArray* text) const {
    if (mdb_->f->jet_version != MDB_VER_JET3)
        return DecodeJet4Text(bytes, size, text);
    // Jet 3 text is in a single-byte code page; libmdb's converter knows which.
    text->resize(qsizetype(size) * 4 + 1);
    const int n = mdb_unicode2ascii(mdb_, reinterpret_cast<const char*>(bytes), size, text->data(),
                                    std::size_t(text->size()));
    text->truncate(qMax(0, n));
    return true;
}

} // namespace Legacy
