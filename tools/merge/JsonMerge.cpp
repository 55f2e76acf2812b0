#include "Catalogue.h"
#include "Connection.h"
#include "JsonReader.h"
#include "Mergers.h"
#include "Transfer.h"

#include <QHash>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <sqlite3.h>
#include <utility>
#include <vector>

namespace Merge {

namespace {

// Where the members of the document start; -1 when it lacks one.
struct Members {
    qsizetype format = -1;
    qsizetype version = -1;
    qsizetype counters = -1;
    qsizetype web = -1;
    qsizetype content = -1;
    QByteArray unknown;
};

// Walks the whole document once, so a file that is cut short, broken or not UTF-8 is
// refused before the catalogue is locked, and notes where each member begins.
bool ScanDocument(JsonReader& reader, Members* members, QString* error) {
    const std::pair<const char*, qsizetype*> known[] = {{"format", &members->format},
                                                        {"version", &members->version},
                                                        {"counters", &members->counters},
                                                        {"Web", &members->web},
                                                        {"Content", &members->content}};
    bool first = true;
    QByteArray name;
    bool ok = reader.BeginObject();
    while (ok && reader.NextMember(&name, &first)) {
        const auto* slot = std::find_if(std::begin(known), std::end(known),
                                        [&](const auto& entry) { return name == entry.first; });
        if (slot == std::end(known)) {
            if (members->unknown.isNull())
                members->unknown = name;
        } else if (*slot->second >= 0) {
            ok = reader.Fail(QStringLiteral("\"%1\" a second time").arg(QString::fromUtf8(name)),
                             reader.Offset());
            break;
        } else {
            *slot->second = reader.Offset();
        }
        ok = reader.SkipValue();
    }
    if (ok && !reader.Failed() && !reader.AtEnd())
        reader.Fail(QStringLiteral("more text after the end of the document"), reader.Offset());
    if (reader.Failed())
        *error = reader.Error();
    return !reader.Failed();
}

// Whether the document is an export this reader understands, with every list in it.
bool CheckMembers(JsonReader& reader, const Members& members, QString* error) {
    QByteArray format;
    reader.Seek(members.format);
    if (members.format < 0 || !reader.ReadString(&format) || format != Transfer::kJsonFormatName) {
        *error = QStringLiteral("a JSON file, but not a Sitemora export (its \"format\" is not "
                                "\"%1\")")
                     .arg(QLatin1String(Transfer::kJsonFormatName));
        return false;
    }
    qint64 version = 0;
    reader.Seek(members.version);
    if (members.version < 0 || !reader.ReadInteger(&version) || version < 1) {
        *error = QStringLiteral("the export has no valid \"version\"");
        return false;
    }
    if (version > Transfer::kJsonFormatVersion) {
        *error = QStringLiteral("written by a newer Sitemora (format version %1; this one reads "
                                "version %2)")
                     .arg(version)
                     .arg(Transfer::kJsonFormatVersion);
        return false;
    }
    if (!members.unknown.isNull()) {
        *error = QStringLiteral("the export holds an unknown member \"%1\"")
                     .arg(QString::fromUtf8(members.unknown));
        return false;
    }
    const std::pair<qsizetype, const char*> required[] = {
        {members.counters, "counters"}, {members.web, "Web"}, {members.content, "Content"}};
    for (const auto& [offset, name] : required) {
        if (offset < 0) {
            *error = QStringLiteral("the export has no \"%1\"").arg(QLatin1String(name));
            return false;
        }
    }
    return true;
}

// One object of the Web or Content list. Integer columns come first; a column the object
// leaves out has no value.
struct Row {
    QList<QByteArray> texts;
    qint64 integers[2] = {0, 0};
    bool integerNull[2] = {true, true};
};

class Table {
public:
    Table(const char* name, QStringList columns, int integerColumns)
        : name_(name), columns_(std::move(columns)), integerColumns_(integerColumns) {}

    QString Name() const { return QLatin1String(name_); }

    QByteArray InsertSql() const {
        return QStringLiteral("INSERT INTO %1 (%2) VALUES (?%3)")
            .arg(Name(), columns_.join(QStringLiteral(", ")),
                 QStringLiteral(", ?").repeated(columns_.size() - 1))
            .toUtf8();
    }

    bool Read(JsonReader& reader, Row* row) const {
        row->texts.fill(QByteArray(), columns_.size() - integerColumns_);
        std::fill(std::begin(row->integerNull), std::end(row->integerNull), true);
        std::vector<bool> seen(size_t(columns_.size()), false);
        const qsizetype start = reader.Offset();
        bool first = true;
        QByteArray name;
        if (!reader.BeginObject())
            return false;
        while (reader.NextMember(&name, &first)) {
            const int column = int(columns_.indexOf(QString::fromUtf8(name)));
            if (column < 0 || seen[size_t(column)])
                return reader.Fail(QStringLiteral("%1 column \"%2\"")
                                       .arg(column < 0 ? QStringLiteral("an unknown")
                                                       : QStringLiteral("a repeated"),
                                            QString::fromUtf8(name)),
                                   reader.Offset());
            seen[size_t(column)] = true;
            const bool ok =
                column < integerColumns_
                    ? reader.ReadIntegerOrNull(&row->integers[column], &row->integerNull[column])
                    : reader.ReadTextOrNull(&row->texts[column - integerColumns_]);
            if (!ok)
                return false;
        }
        if (!reader.Failed() && row->integerNull[0])
            return reader.Fail(QStringLiteral("an entry without its %1").arg(columns_[0]), start);
        return !reader.Failed();
    }

    // Binds every column; the key is left without a value when the database is to
    // choose it. Stops at a value SQLite will not take, whose reason SQLite then holds.
    bool Bind(Transfer::Statement& insert, const Row& row, bool keepKey) const {
        for (int c = 0; c < integerColumns_; ++c) {
            const bool bound = row.integerNull[c] || (c == 0 && !keepKey)
                                   ? insert.BindNull(c + 1)
                                   : insert.BindInteger(c + 1, row.integers[c]);
            if (!bound)
                return false;
        }
        for (int c = integerColumns_; c < columns_.size(); ++c)
            if (!insert.BindText(c + 1, row.texts[c - integerColumns_]))
                return false;
        return true;
    }

private:
    const char* name_;
    QStringList columns_;
    int integerColumns_;
};

class JsonMerger {
public:
    JsonMerger(Connection& connection, JsonReader& reader, Summary* summary)
        : connection_(connection), db_(connection.Handle()), reader_(reader), summary_(summary),
          web_("Web", QStringList{"WebIndex"} + Catalogue::WebTextColumns(), 1),
          content_("Content", {"ContentIndex", "ContentWeb", "ContentTxt"}, 2) {}

    bool Run(const Members& members, QString* error) {
        Transaction transaction(connection_);
        bool ok = transaction.Begin(error) && DecideMode(error) && ReadCounters(members.counters) &&
                  MergeSites(members.web) &&
                  (summary_->restored ? RestoreParagraphs(members.content)
                                      : AppendParagraphs(members.content)) &&
                  RaiseCounters(error);
        if (!ok && error->isEmpty())
            *error = reader_.Error();
        return ok && transaction.Commit(error);
    }

private:
    // Only into a catalogue without a single row can the keys come over as they are.
    bool DecideMode(QString* error) {
        Transfer::Statement any(db_, "SELECT EXISTS (SELECT 1 FROM Web) OR EXISTS (SELECT 1 "
                                     "FROM Content)");
        if (!any.Next()) {
            *error = Transfer::LastError(db_);
            return false;
        }
        summary_->restored = sqlite3_column_int(any.Get(), 0) == 0;
        return true;
    }

    bool ReadCounters(qsizetype offset) {
        reader_.Seek(offset);
        bool first = true;
        QByteArray name;
        if (!reader_.BeginObject())
            return false;
        while (reader_.NextMember(&name, &first)) {
            const qsizetype at = reader_.Offset();
            qint64 value = 0;
            if (!reader_.ReadInteger(&value))
                return false;
            if ((name != "Web" && name != "Content") || counters_.contains(name) || value < 0)
                return reader_.Fail(QStringLiteral("a bad counter"), at);
            counters_.insert(name, value);
        }
        return !reader_.Failed();
    }

    // A text over SQLite's length limit is refused here, not stored as no value.
    bool Store(Transfer::Statement& insert, const Table& table, const Row& row, bool keepKey,
               qsizetype at) {
        if (table.Bind(insert, row, keepKey) && insert.Run())
            return true;
        return reader_.Fail(QStringLiteral("a %1 entry the catalogue refuses (%2)")
                                .arg(table.Name(), Transfer::LastError(db_)),
                            at);
    }

    // Calls `handle` with each object of the list at `offset` and where it begins.
    template <typename Handler>
    bool ForEachRow(qsizetype offset, const Table& table, Handler handle) {
        reader_.Seek(offset);
        bool first = true;
        Row row;
        if (!reader_.BeginArray())
            return false;
        while (reader_.NextElement(&first)) {
            const qsizetype at = reader_.Offset();
            if (!table.Read(reader_, &row) || !handle(row, at))
                return false;
        }
        return !reader_.Failed();
    }

    bool MergeSites(qsizetype offset) {
        Transfer::Statement insert(db_, web_.InsertSql().constData());
        return ForEachRow(offset, web_, [&](const Row& row, qsizetype at) {
            const qint64 oldKey = row.integers[0];
            if (!summary_->restored && newKeys_.contains(oldKey))
                return reader_.Fail(QStringLiteral("WebIndex %1 a second time").arg(oldKey), at);
            if (!Store(insert, web_, row, summary_->restored, at))
                return false;
            if (!summary_->restored)
                newKeys_.insert(oldKey, sqlite3_last_insert_rowid(db_));
            ++summary_->sites;
            return true;
        });
    }

    bool RestoreParagraphs(qsizetype offset) {
        Transfer::Statement insert(db_, content_.InsertSql().constData());
        return ForEachRow(offset, content_, [&](const Row& row, qsizetype at) {
            summary_->paragraphs += 1;
            return Store(insert, content_, row, true, at);
        });
    }

    // New keys are handed out in the order of the old ones, so each site's paragraphs
    // keep their order. Orphans (ContentWeb 0) are left behind: in a catalogue in use they
    // would join whatever new site is edited next.
    bool AppendParagraphs(qsizetype offset) {
        std::vector<std::pair<qint64, qsizetype>> order;
        const bool read = ForEachRow(offset, content_, [&](const Row& row, qsizetype at) {
            order.emplace_back(row.integers[0], at);
            return true;
        });
        if (!read)
            return false;
        std::stable_sort(order.begin(), order.end());
        Transfer::Statement insert(db_, content_.InsertSql().constData());
        Row row;
        for (const auto& [key, at] : order) {
            reader_.Seek(at);
            if (!content_.Read(reader_, &row))
                return false;
            const auto site = newKeys_.constFind(row.integers[1]);
            if (row.integerNull[1] || site == newKeys_.constEnd()) {
                ++summary_->homeless;
                continue;
            }
            row.integers[1] = site.value();
            if (!Store(insert, content_, row, false, at))
                return false;
            ++summary_->paragraphs;
        }
        return true;
    }

    // A restored catalogue goes on numbering where the exported one would have, so keys
    // of rows deleted before the export are never handed out again. A counter is never
    // lowered.
    bool RaiseCounters(QString* error) {
        if (!summary_->restored)
            return true;
        Transfer::Statement exists(db_, "SELECT 1 FROM sqlite_master WHERE name = "
                                        "'sqlite_sequence'");
        if (!exists.Next()) {
            // A catalogue made without AUTOINCREMENT keeps no counters to carry over.
            if (exists.Failed())
                *error = Transfer::LastError(db_);
            return !exists.Failed();
        }
        Transfer::Statement update(db_,
                                   "UPDATE sqlite_sequence SET seq = max(seq, ?1) WHERE name = ?2");
        Transfer::Statement insert(db_, "INSERT INTO sqlite_sequence (name, seq) SELECT ?2, ?1 "
                                        "WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE "
                                        "name = ?2)");
        for (auto it = counters_.cbegin(); it != counters_.cend(); ++it) {
            for (Transfer::Statement* statement : {&update, &insert}) {
                if (!statement->BindInteger(1, it.value()) || !statement->BindText(2, it.key()) ||
                    !statement->Run()) {
                    *error = Transfer::LastError(db_);
                    return false;
                }
            }
        }
        return true;
    }

    Connection& connection_;
    sqlite3* db_;
    JsonReader& reader_;
    Summary* summary_;
    Table web_;
    Table content_;
    QHash<QByteArray, qint64> counters_;
    // Appending: the key each site of the file was given in the catalogue.
    QHash<qint64, qint64> newKeys_;
};

} // namespace

bool MergeJson(Connection& connection, QByteArrayView text, Summary* summary, QString* error) {
    JsonReader reader(text);
    Members members;
    if (!ScanDocument(reader, &members, error) || !CheckMembers(reader, members, error))
        return false;
    return JsonMerger(connection, reader, summary).Run(members, error);
}

} // namespace Merge
