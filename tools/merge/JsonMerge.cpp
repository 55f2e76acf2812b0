#include "Connection.h"
#include "JsonDocument.h"
#include "Mergers.h"
#include "Sqlite.h"
#include "Transfer.h"

#include <QHash>

#include <algorithm>
#include <tuple>
#include <vector>

namespace Merge {

namespace {

using namespace Json;

class JsonMerger {
public:
    JsonMerger(Connection& connection, JsonReader& reader, Summary* summary)
        : connection_(connection), db_(connection.Handle()), reader_(reader), summary_(summary),
          web_(WebTable()), content_(ContentTable()) {}

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
        Sqlite::Statement any(db_, "SELECT EXISTS (SELECT 1 FROM Web) OR EXISTS (SELECT 1 "
                                   "FROM Content)");
        if (!any.Next()) {
            *error = Sqlite::LastError(db_);
            return false;
        }
        summary_->restored = any.Integer(0) == 0;
        return true;
    }

    // Already checked with the rest of the document.
    bool ReadCounters(qsizetype offset) {
        reader_.Seek(offset);
        return CounterTable().Read(reader_, 0, &counters_);
    }

    // A text over SQLite's length limit is refused here, not stored as no value.
    bool Store(Sqlite::Statement& insert, const Table& table, const Row& row, bool keepKey,
               qsizetype at) {
        if (table.Bind(insert, row, keepKey) && insert.Run())
            return true;
        return reader_.Reject(QStringLiteral("a %1 entry the catalogue refuses (%2)")
                                  .arg(table.Name(), Sqlite::LastError(db_)),
                              at);
    }

    bool MergeSites(qsizetype offset) {
        Sqlite::Statement insert(db_, web_.InsertSql().constData());
        return ForEachRow(reader_, offset, web_, [&](const Row& row, qsizetype at) {
            const qint64 oldKey = row.integers[0];
            if (!summary_->restored && newKeys_.contains(oldKey))
                return reader_.Reject(QStringLiteral("WebIndex %1 a second time").arg(oldKey), at);
            if (!Store(insert, web_, row, summary_->restored, at))
                return false;
            if (!summary_->restored)
                newKeys_.insert(oldKey, Sqlite::LastInsertKey(db_));
            ++summary_->sites;
            return true;
        });
    }

    bool RestoreParagraphs(qsizetype offset) {
        Sqlite::Statement insert(db_, content_.InsertSql().constData());
        return ForEachRow(reader_, offset, content_, [&](const Row& row, qsizetype at) {
            summary_->paragraphs += 1;
            return Store(insert, content_, row, true, at);
        });
    }

    // New keys are handed out in the order of the old ones, so each site's paragraphs
    // keep their order. Orphans (ContentWeb 0) are left behind: in a catalogue in use they
    // would join whatever new site is edited next.
    bool AppendParagraphs(qsizetype offset) {
        std::vector<std::tuple<qint64, qsizetype, qint64>> order;
        const bool read = ForEachRow(reader_, offset, content_, [&](const Row& row, qsizetype at) {
            order.emplace_back(row.integers[0], at, qint64(order.size()) + 1);
            return true;
        });
        if (!read)
            return false;
        std::stable_sort(order.begin(), order.end());
        Sqlite::Statement insert(db_, content_.InsertSql().constData());
        Row row;
        for (const auto& [key, at, index] : order) {
            reader_.Seek(at);
            if (!content_.Read(reader_, index, &row))
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
        return Sqlite::RaiseCounter(db_, "Web", counters_.integers[0], error) &&
               Sqlite::RaiseCounter(db_, "Content", counters_.integers[1], error);
    }

    Connection& connection_;
    sqlite3* db_;
    JsonReader& reader_;
    Summary* summary_;
    Table web_;
    Table content_;
    Row counters_;
    // Appending: the key each site of the file was given in the catalogue.
    QHash<qint64, qint64> newKeys_;
};

} // namespace

bool MergeJson(Connection& connection, QByteArrayView text, Summary* summary, QString* error) {
    JsonReader reader(text);
    Members members;
    if (!Check(reader, &members, error))
        return false;
    return JsonMerger(connection, reader, summary).Run(members, error);
}

} // namespace Merge
