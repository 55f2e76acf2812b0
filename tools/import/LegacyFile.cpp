#include "LegacyFile.h"

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

constexpr qint64 kJet3PageSize = 2048;
constexpr qint64 kJet4PageSize = 4096;
constexpr int kOffsetMask = 0x1fff;
constexpr unsigned char kTableDefinitionPage = 0x02;

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

// Locates row `row` of the data page in pg_buf, the way the fetch that just returned
// found it, but refusing offsets that point outside the page.
bool RowBounds(MdbHandle* mdb, int row, int* start, std::size_t* size) {
    const unsigned char* page = mdb->pg_buf;
    const int pageSize = int(mdb->fmt->pg_size);
    const int rco = mdb->fmt->row_count_offset;
    const int rows = U16(page + rco);
    if (row < 0 || row >= rows || rco + 2 + row * 2 + 2 > pageSize)
        return false;
    const int first = U16(page + rco + 2 + std::ptrdiff_t(row) * 2) & kOffsetMask;
    const int next = row == 0 ? pageSize : U16(page + rco + std::ptrdiff_t(row) * 2) & kOffsetMask;
    if (first >= next || next > pageSize)
        return false;
    *start = first;
    *size = std::size_t(next - first);
    return true;
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

QByteArray DecodeJet4Text(const unsigned char* bytes, std::size_t size) {
    std::u16string units;
    units.reserve(size);
    if (size >= 2 && bytes[0] == 0xff && bytes[1] == 0xfe) {
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
                break;
            }
        }
    } else {
        for (std::size_t i = 0; i + 1 < size; i += 2)
            units.push_back(char16_t(bytes[i] | bytes[i + 1] << 8));
    }
    // Surrogate pairs become one four-byte UTF-8 character; libmdb's UCS-2 decoder
    // turns them into "??".
    return QString::fromUtf16(units.data(), qsizetype(units.size())).toUtf8();
}

struct File::Handle {
    MdbHandle* mdb = nullptr;
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
    const qint64 pageSize = format == Format::Jet3 ? kJet3PageSize : kJet4PageSize;
    const qint64 size = QFileInfo(path).size();
    // Pages 0 to 2 hold the header, the free map and the system catalogue; a file
    // that does not end on a page boundary has lost its tail.
    if (size < 3 * pageSize) {
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
    // MDB_NOFLAGS opens the file read-only.
    MdbHandle*& mdb = handle_->mdb;
    mdb = mdb_open(QFile::encodeName(path).constData(), MDB_NOFLAGS);
    if (!mdb) {
        *error = QStringLiteral("libmdb cannot open it");
        return false;
    }

    // mdb_read_catalog fetches rows from the system catalogue without looking at its
    // page map, so that map is checked here first, on the same page libmdb uses.
    MdbCatalogEntry system;
    std::memset(&system, 0, sizeof system);
    system.mdb = mdb;
    system.object_type = MDB_TABLE;
    system.table_pg = 2;
    std::strcpy(system.object_name, "MSysObjects");
    TablePtr catalogue(mdb_read_table(&system));
    if (!catalogue || !UsageMapSane(catalogue.get())) {
        *error = QStringLiteral("the file is damaged: its list of tables cannot be read");
        return false;
    }
    catalogue.reset();
    if (!mdb_read_catalog(mdb, MDB_TABLE)) {
        *error = QStringLiteral("the file is damaged: its list of tables cannot be read");
        return false;
    }
    return true;
}

std::int64_t File::LastAutoNumber(const QString& table) {
    MdbHandle* mdb = handle_->mdb;
    QByteArray name = table.toUtf8();
    TablePtr def(mdb_read_table_by_name(mdb, name.data(), MDB_TABLE));
    if (!def || mdb_read_pg(mdb, def->entry->table_pg) != mdb->fmt->pg_size ||
        mdb->pg_buf[0] != kTableDefinitionPage)
        return 0;
    // The counter follows the row count in the table definition, in both formats.
    const std::size_t at = std::size_t(mdb->fmt->tab_num_rows_offset) + 4;
    const std::int32_t value = std::int32_t(U32(mdb->pg_buf + at));
    return value > 0 ? value : 0;
}

bool File::ReadTable(const QString& table, const std::vector<ColumnWanted>& columns,
                     const RowSink& sink, const Progress& progress, QString* error) {
    MdbHandle* mdb = handle_->mdb;
    QByteArray name = table.toUtf8();
    TablePtr def(mdb_read_table_by_name(mdb, name.data(), MDB_TABLE));
    if (!def) {
        *error = QStringLiteral("it has no %1 table").arg(table);
        return false;
    }
    if (!UsageMapSane(def.get())) {
        *error = QStringLiteral("the file is damaged: the pages of the %1 table cannot be found")
                     .arg(table);
        return false;
    }
    if (!mdb_read_columns(def.get())) {
        *error = QStringLiteral("the columns of the %1 table cannot be read").arg(table);
        return false;
    }

    std::vector<int> position(columns.size(), -1);
    QStringList missing;
    for (std::size_t w = 0; w < columns.size(); ++w) {
        const QByteArray wanted = columns[w].name.toUtf8();
        for (unsigned c = 0; c < def->num_cols; ++c) {
            auto* col = static_cast<MdbColumn*>(g_ptr_array_index(def->columns, c));
            if (g_ascii_strcasecmp(col->name, wanted.constData()) == 0) {
                position[w] = int(c);
                break;
            }
        }
        if (position[w] < 0) {
            missing << columns[w].name;
            continue;
        }
        auto* col = static_cast<MdbColumn*>(g_ptr_array_index(def->columns, position[w]));
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
    const std::int64_t total = def->num_rows;
    std::vector<MdbField> fields(def->num_cols);
    std::vector<Value> row(columns.size());
    std::int64_t done = 0;

    auto damaged = [&](const QString& what) {
        *error = QStringLiteral("the file is damaged: %1 in row %2 of the %3 table")
                     .arg(what)
                     .arg(done + 1)
                     .arg(table);
        return false;
    };
    auto decode = [&](const unsigned char* bytes, std::size_t size) {
        if (jet4)
            return DecodeJet4Text(bytes, size);
        // Jet 3 text is in a single-byte code page; libmdb's converter knows which.
        QByteArray out(int(size * 4 + 1), Qt::Uninitialized);
        const int n = mdb_unicode2ascii(mdb, reinterpret_cast<const char*>(bytes), size, out.data(),
                                        std::size_t(out.size()));
        out.truncate(qMax(0, n));
        return out;
    };
    // A memo holds a 12-byte header: length and flags, then where the text lives when
    // it is not inline. Read here without a size limit; libmdb cuts it at the bind size.
    auto readMemo = [&](const unsigned char* header, std::size_t size, QByteArray* out) {
        out->clear();
        if (size == 0)
            return true;
        if (size < MDB_MEMO_OVERHEAD)
            return false;
        const std::uint32_t flags = U32(header);
        const std::size_t length = flags & 0x3fffffff;
        std::uint32_t pgRow = U32(header + 4);
        if (flags & 0x80000000) {
            if (length > size - MDB_MEMO_OVERHEAD)
                return false;
            out->append(reinterpret_cast<const char*>(header + MDB_MEMO_OVERHEAD),
                        qsizetype(length));
            return true;
        }
        const bool single = flags & 0x40000000;
        while (std::size_t(out->size()) < length) {
            void* page = nullptr;
            int start = 0;
            std::size_t rowSize = 0;
            if (pgRow == 0 || mdb_find_pg_row(mdb, int(pgRow), &page, &start, &rowSize) != 0 ||
                start + rowSize > std::size_t(pageSize))
                return false;
            const auto* data = static_cast<const unsigned char*>(page) + start;
            if (!single) {
                // Each page of a long memo starts with the page and row of the next.
                if (rowSize <= 4)
                    return false;
                pgRow = U32(data);
                data += 4;
                rowSize -= 4;
            } else if (rowSize < length) {
                return false;
            }
            const std::size_t take = std::min(rowSize, length - std::size_t(out->size()));
            out->append(reinterpret_cast<const char*>(data), qsizetype(take));
            if (single)
                break;
        }
        return true;
    };

    mdb_rewind_table(def.get());
    while (mdb_fetch_row(def.get())) {
        // The fetch leaves its data page in pg_buf and cur_row one past the row it read.
        int start = 0;
        std::size_t size = 0;
        if (!RowBounds(mdb, int(def->cur_row) - 1, &start, &size))
            return damaged(QStringLiteral("a row lies outside its page"));
        std::memset(fields.data(), 0, fields.size() * sizeof(MdbField));
        if (mdb_crack_row(def.get(), start, size, fields.data()) < 0)
            return damaged(QStringLiteral("a row cannot be taken apart"));

        for (std::size_t w = 0; w < columns.size(); ++w) {
            const MdbField* field = nullptr;
            for (const MdbField& f : fields) {
                if (f.colnum == position[w]) {
                    field = &f;
                    break;
                }
            }
            auto* col = static_cast<MdbColumn*>(g_ptr_array_index(def->columns, position[w]));
            Value& value = row[w];
            value = Value{};
            if (!field || field->is_null)
                continue;
            if (field->siz < 0 || field->start < 0 || field->start + field->siz > pageSize)
                return damaged(
                    QStringLiteral("the value of %1 lies outside its page").arg(columns[w].name));
            const unsigned char* bytes = mdb->pg_buf + field->start;
            const std::size_t siz = std::size_t(field->siz);
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
                        QStringLiteral("the number in %1 has the wrong size").arg(columns[w].name));
                value.integer = col->col_type == MDB_BYTE  ? std::int64_t(bytes[0])
                                : col->col_type == MDB_INT ? std::int64_t(std::int16_t(U16(bytes)))
                                                           : std::int64_t(std::int32_t(U32(bytes)));
                break;
            }
            case MDB_MEMO: {
                QByteArray raw;
                if (!readMemo(bytes, siz, &raw))
                    return damaged(
                        QStringLiteral("the long text in %1 cannot be read").arg(columns[w].name));
                value.text =
                    decode(reinterpret_cast<const unsigned char*>(raw.constData()), raw.size());
                break;
            }
            default:
                value.text = decode(bytes, siz);
                break;
            }
        }
        ++done;
        if (!sink(row, error))
            return false;
        if (progress)
            progress(done, total);
    }
    if (done != total) {
        *error = QStringLiteral("the %1 table should hold %2 rows but %3 could be read; the "
                                "file is truncated or damaged")
                     .arg(table)
                     .arg(total)
                     .arg(done);
        return false;
    }
    return true;
}

} // namespace Legacy
