#include "LegacyFile.h"

#include "JetLayout.h"
#include "JetPages.h"
#include "ValueDecoder.h"

#include <mdbtools.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#include <memory>

namespace Legacy {

namespace {

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

// The columns of a definition as libmdb read them, for the checks that libmdb skips.
std::vector<ColumnLayout> Layouts(const MdbTableDef* def) {
    std::vector<ColumnLayout> layouts;
    layouts.reserve(def->num_cols);
    for (unsigned c = 0; c < def->num_cols; ++c) {
        const MdbColumn* col = Column(def, c);
        layouts.push_back({QString::fromUtf8(col->name), col->col_num, col->is_fixed != 0,
                           col->var_col_num, col->fixed_offset, col->col_size});
    }
    return layouts;
}

// Finds each wanted column among the table's, by name, and checks that it holds the kind
// of value wanted. `*position` is each one's place among the table's columns.
bool MapColumns(const QString& table, const MdbTableDef* def,
                const std::vector<ColumnWanted>& columns, std::vector<int>* position,
                QString* error) {
    position->assign(columns.size(), -1);
    QStringList missing;
    for (std::size_t w = 0; w < columns.size(); ++w) {
        const QByteArray wanted = columns[w].name.toUtf8();
        for (unsigned c = 0; c < def->num_cols; ++c) {
            if (g_ascii_strcasecmp(Column(def, c)->name, wanted.constData()) == 0) {
                (*position)[w] = int(c);
                break;
            }
        }
        if ((*position)[w] < 0) {
            missing << columns[w].name;
            continue;
        }
        const MdbColumn* col = Column(def, unsigned((*position)[w]));
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
    return true;
}

// Reads the definition of `table`, checked before libmdb fetches any row by it.
TablePtr OpenTable(MdbHandle* mdb, const PageReader& pages, const QString& table,
                   DefinitionHeader* header, QString* error) {
    MdbCatalogEntry* entry = FindTable(mdb, table);
    if (!entry) {
        *error = QStringLiteral("it has no %1 table").arg(table);
        return nullptr;
    }
    QString why;
    if (!ReadDefinition(pages, std::uint32_t(entry->table_pg), mdb->fmt->tab_num_rows_offset,
                        mdb->fmt->tab_num_cols_offset, header, &why)) {
        *error = QStringLiteral("the file is damaged: no %1 table can be read (its definition: "
                                "%2)")
                     .arg(table, why);
        return nullptr;
    }
    TablePtr def(mdb_read_table(entry));
    if (!def) {
        *error = QStringLiteral("the file is damaged: no %1 table can be read").arg(table);
        return nullptr;
    }
    if (!UsageMapSane(def.get())) {
        *error = QStringLiteral("the file is damaged: the pages of the %1 table cannot be found")
                     .arg(table);
        return nullptr;
    }
    if (!mdb_read_columns(def.get()) || !CheckColumns(Layouts(def.get()), *header, &why)) {
        *error =
            QStringLiteral("the file is damaged in the definition of the %1 table: %2")
                .arg(table, why.isEmpty() ? QStringLiteral("its columns cannot be read") : why);
        return nullptr;
    }
    return def;
}

} // namespace

QString RowPlace(const QString& table, std::int64_t number, const QString& keyColumn,
                 const Value& key) {
    QString place = QStringLiteral("row %1 of the %2 table").arg(number).arg(table);
    if (!key.null)
        place += QStringLiteral(" (%1 %2)").arg(keyColumn).arg(key.integer);
    return place;
}

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
    DefinitionHeader header;
    const TablePtr def = OpenTable(mdb, handle_->pages, table, &header, error);
    std::vector<int> position;
    if (!def || !MapColumns(table, def.get(), columns, &position, error))
        return false;

    const bool jet4 = mdb->f->jet_version != MDB_VER_JET3;
    const int pageSize = int(mdb->fmt->pg_size);
    const std::int64_t total = def->num_rows;
    const ValueDecoder decoder(mdb, handle_->pages);
    std::vector<MdbField> fields(def->num_cols);
    std::vector<Value> row(columns.size());
    std::int64_t done = 0;
    QString why;

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

    mdb_rewind_table(def.get());
    while (mdb_fetch_row(def.get())) {
        std::fill(row.begin(), row.end(), Value{});
        // The fetch leaves its data page in pg_buf and cur_row one past the row it read.
        int start = 0;
        std::size_t size = 0;
        if (!RowBounds(mdb->pg_buf, pageSize, mdb->fmt->row_count_offset, int(def->cur_row) - 1,
                       &start, &size))
            return damaged(wholeRow, QStringLiteral("it lies outside its page"));
        RowFrame frame;
        if (!ReadFrame(jet4, mdb->pg_buf + start, size, header, &frame, &why))
            return damaged(wholeRow, why);
        std::memset(fields.data(), 0, fields.size() * sizeof(MdbField));
        if (mdb_crack_row(def.get(), start, size, fields.data()) < 0)
            return damaged(wholeRow, QStringLiteral("it cannot be taken apart"));
        for (std::size_t w = 0; w < columns.size(); ++w) {
            const MdbColumn* col = Column(def.get(), unsigned(position[w]));
            if (!decoder.Decode(col, fields[std::size_t(position[w])], frame.HasValue(col->col_num),
                                start, size, &row[w], &why))
                return damaged(w, why);
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
