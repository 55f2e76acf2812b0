#include "LegacyFile.h"

#include "JetPages.h"

// mdbtools.h wraps its glib include in extern "C", which breaks glib's C++ templates
// unless glib has been seen first.
#include <glib.h>
#include <mdbtools.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <memory>

namespace Legacy {

namespace {

constexpr int kJet3PageSize = 2048;
constexpr int kJet4PageSize = 4096;
// Access refuses a 256th column, deleted columns included; a larger count is damage,
// and would send libmdb's null-mask lookup outside the row.
constexpr int kMostColumns = 255;

std::uint32_t U32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint16_t U16(const unsigned char* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}

// A page map libmdb cannot walk makes mdb_fetch_row read past its buffer, so it is
// checked before any row is fetched: a map needs its type byte plus at least one
// four-byte page number, and only the inline (0) and page-reference (1) types exist.
bool UsageMapSane(const MdbTableDef* table) {
    return table->usage_map != nullptr && table->map_sz >= 5 && table->usage_map[0] <= 1;
}

struct TableDeleter {
    void operator()(MdbTableDef* table) const { mdb_free_tabledef(table); }
};
using TablePtr = std::unique_ptr<MdbTableDef, TableDeleter>;

QString TypeName(int type) {
    switch (type) {
    case MDB_BOOL:
        return QStringLiteral("yes/no");
    case MDB_BYTE:
    case MDB_INT:
    case MDB_LONGINT:
        return QStringLiteral("integer");
    case MDB_TEXT:
        return QStringLiteral("text");
    case MDB_MEMO:
        return QStringLiteral("memo");
    case MDB_DATETIME:
        return QStringLiteral("date");
    case MDB_OLE:
        return QStringLiteral("binary");
    default:
        return QStringLiteral("type %1").arg(type);
    }
}

bool Fits(Kind kind, int type) {
    if (kind == Kind::Integer)
        return type == MDB_BYTE || type == MDB_INT || type == MDB_LONGINT;
    return type == MDB_TEXT || type == MDB_MEMO;
}

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
    case MDB_VER_JET3:
        return Format::Jet3;
    case MDB_VER_JET4:
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

QString RowPlace(const QString& table, std::int64_t number, const QString& keyColumn,
                 const Value& key) {
    QString place = QStringLiteral("row %1 of the %2 table").arg(number).arg(table);
    if (!key.null)
        place += QStringLiteral(" (%1 %2)").arg(keyColumn).arg(key.integer);
    return place;
}

namespace {

MdbCatalogEntry* FindTable(MdbHandle* mdb, const QString& table) {
    const QByteArray name = table.toUtf8();
    for (unsigned i = 0; mdb->catalog && i < mdb->catalog->len; ++i) {
        auto* entry = static_cast<MdbCatalogEntry*>(g_ptr_array_index(mdb->catalog, i));
        if (entry->object_type == MDB_TABLE &&
            g_ascii_strcasecmp(entry->object_name, name.constData()) == 0)
            return entry;
    }
    return nullptr;
}

MdbColumn* Column(const MdbTableDef* def, unsigned index) {
    return static_cast<MdbColumn*>(g_ptr_array_index(def->columns, index));
}

// libmdb places every value by the column numbers, slots and offsets of the definition
// and trusts them: one that contradicts the others moves values into the neighbouring
// column or leaves them out without a word.
bool CheckColumns(const MdbTableDef* def, const DefinitionHeader& header, QString* why) {
    if (header.maxColumns > kMostColumns || header.columnCount > header.maxColumns ||
        int(def->num_cols) != header.columnCount) {
        *why = QStringLiteral("it describes %1 columns but numbers %2, and a table has at most %3")
                   .arg(header.columnCount)
                   .arg(header.maxColumns)
                   .arg(kMostColumns);
        return false;
    }
    std::vector<const MdbColumn*> byNumber(std::size_t(header.maxColumns), nullptr);
    std::vector<const MdbColumn*> bySlot(std::size_t(header.varColumns), nullptr);
    std::vector<const MdbColumn*> fixed;
    for (unsigned c = 0; c < def->num_cols; ++c) {
        const MdbColumn* col = Column(def, c);
        if (col->col_num < 0 || col->col_num >= header.maxColumns) {
            *why = QStringLiteral("column %1 has number %2, but the table numbers its columns "
                                  "below %3")
                       .arg(QString::fromUtf8(col->name))
                       .arg(col->col_num)
                       .arg(header.maxColumns);
            return false;
        }
        const MdbColumn*& sameNumber = byNumber[std::size_t(col->col_num)];
        if (sameNumber) {
            *why = QStringLiteral("columns %1 and %2 have the same number")
                       .arg(QString::fromUtf8(sameNumber->name), QString::fromUtf8(col->name));
            return false;
        }
        sameNumber = col;
        if (col->is_fixed) {
            fixed.push_back(col);
            continue;
        }
        if (col->var_col_num >= unsigned(header.varColumns)) {
            *why = QStringLiteral("column %1 is variable-length value %2 of each row, but the "
                                  "table counts %3 such values")
                       .arg(QString::fromUtf8(col->name))
                       .arg(col->var_col_num)
                       .arg(header.varColumns);
            return false;
        }
        const MdbColumn*& sameSlot = bySlot[col->var_col_num];
        if (sameSlot) {
            *why = QStringLiteral("columns %1 and %2 share one variable-length value")
                       .arg(QString::fromUtf8(sameSlot->name), QString::fromUtf8(col->name));
            return false;
        }
        sameSlot = col;
    }
    std::stable_sort(fixed.begin(), fixed.end(), [](const MdbColumn* a, const MdbColumn* b) {
        return a->fixed_offset < b->fixed_offset;
    });
    for (std::size_t i = 1; i < fixed.size(); ++i) {
        if (fixed[i - 1]->fixed_offset + fixed[i - 1]->col_size > fixed[i]->fixed_offset) {
            *why =
                QStringLiteral("columns %1 and %2 overlap in each row")
                    .arg(QString::fromUtf8(fixed[i - 1]->name), QString::fromUtf8(fixed[i]->name));
            return false;
        }
    }
    return true;
}

// The counts and the null mask that frame a row, read the way libmdb reads them.
struct RowFrame {
    int columns = 0;
    int varColumns = 0;
    const unsigned char* nullMask = nullptr;

    // Whether the row marks column `number` as holding a value. A column numbered past
    // the row's own count was added after the row was written and has none.
    bool HasValue(int number) const {
        return number < columns && (nullMask[number / 8] >> (number % 8) & 1);
    }
};

bool ReadFrame(bool jet4, const unsigned char* row, std::size_t size,
               const DefinitionHeader& header, RowFrame* frame, QString* why) {
    const std::size_t countSize = jet4 ? 2 : 1;
    if (size < countSize + 1) {
        *why = QStringLiteral("it is cut short");
        return false;
    }
    frame->columns = jet4 ? U16(row) : row[0];
    if (frame->columns == 0 || frame->columns > header.maxColumns) {
        *why = QStringLiteral("it says it holds %1 columns, but the table has at most %2")
                   .arg(frame->columns)
                   .arg(header.maxColumns);
        return false;
    }
    const std::size_t maskSize = std::size_t(frame->columns + 7) / 8;
    const std::size_t trailer = maskSize + (header.varColumns > 0 ? countSize : 0);
    if (countSize + trailer > size) {
        *why = QStringLiteral("it is too short for its %1 columns").arg(frame->columns);
        return false;
    }
    const unsigned char* varCount = row + size - maskSize - countSize;
    frame->varColumns = header.varColumns == 0 ? 0 : jet4 ? U16(varCount) : varCount[0];
    if (frame->varColumns > header.varColumns || frame->varColumns > frame->columns) {
        *why = QStringLiteral("it says it holds %1 variable-length values, but the table has %2")
                   .arg(frame->varColumns)
                   .arg(header.varColumns);
        return false;
    }
    frame->nullMask = row + size - maskSize;
    return true;
}

} // namespace

struct File::Handle {
    MdbHandle* mdb = nullptr;
    PageReader pages;
    ~Handle() {
        if (mdb)
            mdb_close(mdb);
    }
};

File::File() : handle_(std::make_unique<Handle>()) {}

File::~File() = default;

bool File::Open(const QString& path, QString* error) {
    QString detail;
    const Format format = Sniff(path, &detail);
    if (format == Format::NotJet || format == Format::Newer) {
        *error = detail;
        return false;
    }
    const int pageSize = format == Format::Jet3 ? kJet3PageSize : kJet4PageSize;
    const qint64 size = QFileInfo(path).size();
    // Pages 0 to 2 hold the header, the free map and the system catalogue; a file
    // that does not end on a page boundary has lost its tail.
    if (size < 3 * qint64(pageSize)) {
        *error = QStringLiteral("the file is truncated (%1 bytes is too short for a Jet database)")
                     .arg(size);
        return false;
    }
    if (size % pageSize != 0) {
        *error = QStringLiteral("the file is truncated (%1 bytes is not a whole number of "
                                "%2-byte pages)")
                     .arg(size)
                     .arg(pageSize);
        return false;
    }
    if (!handle_->pages.Open(path, pageSize, error))
        return false;
    // MDB_NOFLAGS opens the file read-only.
    MdbHandle*& mdb = handle_->mdb;
    mdb = mdb_open(QFile::encodeName(path).constData(), MDB_NOFLAGS);
    if (!mdb) {
        *error = QStringLiteral("the file is damaged: its header page cannot be read");
        return false;
    }

    // mdb_read_catalog fetches rows from the system catalogue without looking at its
    // page map, so that map is checked here first, on the same page libmdb uses.
    const QString unreadable =
        QStringLiteral("the file is damaged: its list of tables cannot be read");
    DefinitionHeader header;
    if (!ReadDefinition(handle_->pages, 2, mdb->fmt->tab_num_rows_offset,
                        mdb->fmt->tab_num_cols_offset, &header, &detail)) {
        *error = unreadable + QStringLiteral(" (%1)").arg(detail);
        return false;
    }
    MdbCatalogEntry system;
    std::memset(&system, 0, sizeof system);
    system.mdb = mdb;
    system.object_type = MDB_TABLE;
    system.table_pg = 2;
    std::strcpy(system.object_name, "MSysObjects");
    TablePtr catalogue(mdb_read_table(&system));
    if (!catalogue || !UsageMapSane(catalogue.get())) {
        *error = unreadable;
        return false;
    }
    catalogue.reset();
    if (!mdb_read_catalog(mdb, MDB_TABLE)) {
        *error = unreadable;
        return false;
    }
    return true;
}

std::int64_t File::LastAutoNumber(const QString& table) {
    MdbHandle* mdb = handle_->mdb;
    const MdbCatalogEntry* entry = FindTable(mdb, table);
    DefinitionHeader header;
    QString why;
    if (!entry || !ReadDefinition(handle_->pages, std::uint32_t(entry->table_pg),
                                  mdb->fmt->tab_num_rows_offset, mdb->fmt->tab_num_cols_offset,
                                  &header, &why))
        return 0;
    return header.lastKey;
}

bool File::ReadTable(const QString& table, const std::vector<ColumnWanted>& columns,
                     const RowSink& sink, const Progress& progress, QString* error) {
    MdbHandle* mdb = handle_->mdb;
    const PageReader& pages = handle_->pages;
    MdbCatalogEntry* entry = FindTable(mdb, table);
    if (!entry) {
        *error = QStringLiteral("it has no %1 table").arg(table);
        return false;
    }
    DefinitionHeader header;
    QString why;
    if (!ReadDefinition(pages, std::uint32_t(entry->table_pg), mdb->fmt->tab_num_rows_offset,
                        mdb->fmt->tab_num_cols_offset, &header, &why)) {
        *error = QStringLiteral("the file is damaged: no %1 table can be read (its definition: "
                                "%2)")
                     .arg(table, why);
        return false;
    }
    TablePtr def(mdb_read_table(entry));
    if (!def) {
        *error = QStringLiteral("the file is damaged: no %1 table can be read").arg(table);
        return false;
    }
    if (!UsageMapSane(def.get())) {
        *error = QStringLiteral("the file is damaged: the pages of the %1 table cannot be found")
                     .arg(table);
        return false;
    }
    if (!mdb_read_columns(def.get()) || !CheckColumns(def.get(), header, &why)) {
        *error =
            QStringLiteral("the file is damaged in the definition of the %1 table: %2")
                .arg(table, why.isEmpty() ? QStringLiteral("its columns cannot be read") : why);
        return false;
    }

    std::vector<int> position(columns.size(), -1);
    QStringList missing;
    for (std::size_t w = 0; w < columns.size(); ++w) {
        const QByteArray wanted = columns[w].name.toUtf8();
        for (unsigned c = 0; c < def->num_cols; ++c) {
            if (g_ascii_strcasecmp(Column(def.get(), c)->name, wanted.constData()) == 0) {
                position[w] = int(c);
                break;
            }
        }
        if (position[w] < 0) {
            missing << columns[w].name;
            continue;
        }
        const MdbColumn* col = Column(def.get(), unsigned(position[w]));
        if (!Fits(columns[w].kind, col->col_type)) {
            *error = QStringLiteral("the column %1.%2 holds %3 values, not %4")
                         .arg(table, columns[w].name, TypeName(col->col_type),
                              columns[w].kind == Kind::Integer ? QStringLiteral("integers")
                                                               : QStringLiteral("text"));
            return false;
        }
    }
    if (!missing.isEmpty()) {
        *error = QStringLiteral("the %1 table has no column %2")
                     .arg(table, missing.join(QStringLiteral(", ")));
        return false;
    }

    const bool jet4 = mdb->f->jet_version != MDB_VER_JET3;
    const int pageSize = int(mdb->fmt->pg_size);
    const int rowCountOffset = mdb->fmt->row_count_offset;
    const std::int64_t total = def->num_rows;
    std::vector<MdbField> fields(def->num_cols);
    std::vector<Value> row(columns.size());
    std::int64_t done = 0;

    // The first wanted column is the key: once read, it names the row in messages.
    auto damaged = [&](std::size_t w, const QString& what) {
        *error = QStringLiteral("the file is damaged in %1")
                     .arg(RowPlace(table, done + 1, columns[0].name, w > 0 ? row[0] : Value{}));
        if (w < columns.size())
            *error += QStringLiteral(", column %1").arg(columns[w].name);
        *error += QStringLiteral(": ") + what;
        return false;
    };
    const std::size_t wholeRow = columns.size();
    auto decode = [&](const unsigned char* bytes, std::size_t size, QByteArray* text) {
        if (jet4)
            return DecodeJet4Text(bytes, size, text);
        // Jet 3 text is in a single-byte code page; libmdb's converter knows which.
        text->resize(qsizetype(size) * 4 + 1);
        const int n = mdb_unicode2ascii(mdb, reinterpret_cast<const char*>(bytes), size,
                                        text->data(), std::size_t(text->size()));
        text->truncate(qMax(0, n));
        return true;
    };

    mdb_rewind_table(def.get());
    while (mdb_fetch_row(def.get())) {
        std::fill(row.begin(), row.end(), Value{});
        // The fetch leaves its data page in pg_buf and cur_row one past the row it read.
        int start = 0;
        std::size_t size = 0;
        if (!RowBounds(mdb->pg_buf, pageSize, rowCountOffset, int(def->cur_row) - 1, &start, &size))
            return damaged(wholeRow, QStringLiteral("it lies outside its page"));
        RowFrame frame;
        if (!ReadFrame(jet4, mdb->pg_buf + start, size, header, &frame, &why))
            return damaged(wholeRow, why);
        std::memset(fields.data(), 0, fields.size() * sizeof(MdbField));
        if (mdb_crack_row(def.get(), start, size, fields.data()) < 0)
            return damaged(wholeRow, QStringLiteral("it cannot be taken apart"));

        for (std::size_t w = 0; w < columns.size(); ++w) {
            const MdbField& field = fields[std::size_t(position[w])];
            const MdbColumn* col = Column(def.get(), unsigned(position[w]));
            Value& value = row[w];
            if (!frame.HasValue(col->col_num)) {
                if (!col->is_fixed && field.siz > 0)
                    return damaged(w, QStringLiteral("it holds %1 bytes but is marked as having "
                                                     "no value")
                                          .arg(field.siz));
                continue;
            }
            if (field.is_null)
                return damaged(w, QStringLiteral("it is marked as having a value, but the row "
                                                 "holds none"));
            if (field.siz < 0 || field.start < start ||
                std::size_t(field.start) + std::size_t(field.siz) > std::size_t(start) + size)
                return damaged(w, QStringLiteral("its value lies outside the row"));
            const unsigned char* bytes = mdb->pg_buf + field.start;
            const auto siz = std::size_t(field.siz);
            value.null = false;
            switch (col->col_type) {
            case MDB_BYTE:
            case MDB_INT:
            case MDB_LONGINT: {
                const std::size_t want = col->col_type == MDB_BYTE  ? 1
                                         : col->col_type == MDB_INT ? 2
                                                                    : 4;
                if (siz != want)
                    return damaged(
                        w,
                        QStringLiteral("its number has %1 bytes instead of %2").arg(siz).arg(want));
                value.integer = col->col_type == MDB_BYTE  ? std::int64_t(bytes[0])
                                : col->col_type == MDB_INT ? std::int64_t(std::int16_t(U16(bytes)))
                                                           : std::int64_t(std::int32_t(U32(bytes)));
                break;
            }
            case MDB_MEMO: {
                QByteArray raw;
                if (!ReadLongText(pages, rowCountOffset, bytes, siz, &raw, &why))
                    return damaged(w, why);
                if (!decode(reinterpret_cast<const unsigned char*>(raw.constData()),
                            std::size_t(raw.size()), &value.text))
                    return damaged(w, QStringLiteral("its long text has an odd number of bytes "
                                                     "(%1), so its last character is cut in half")
                                          .arg(raw.size()));
                break;
            }
            default:
                if (!decode(bytes, siz, &value.text))
                    return damaged(w, QStringLiteral("its text has an odd number of bytes (%1), "
                                                     "so its last character is cut in half")
                                          .arg(siz));
                break;
            }
        }
        ++done;
        if (!sink(done, row, error))
            return false;
        if (progress)
            progress(done, total);
    }
    if (done != total) {
        *error = QStringLiteral("the file is damaged: the %1 table should hold %2 rows but %3 "
                                "could be read; it may be truncated")
                     .arg(table)
                     .arg(total)
                     .arg(done);
        return false;
    }
    return true;
}

} // namespace Legacy
