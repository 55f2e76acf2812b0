#pragma once

#include "QueryKeyset.h"
#include "ResultShape.h"
#include "RowStore.h"
#include "RowWriter.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <QVariantList>

#include <vector>

class Connection;
namespace Sqlite {
class Statement;
}

// A select statement and its result as an updatable cursor, read in one of two ways.
//
// Everything (the default): opening reads the whole result into a snapshot, checking
// every step, so a lock, an I/O error or a damaged page anywhere in it fails the open
// instead of passing for a shorter result; from then on the result is not evaluated
// again and scrolling never goes back to the file.
//
// Keys: for a list of any length, opening reads only the key of each row, in the
// result's order, by the same statement selecting the key column alone; a failure
// there fails the open the same way. Meant for "Select * From" one table with an
// integer key, in an order its Order By fixes (selecting fewer columns must not change
// the order); any other statement gives its keys by itself, and a result without an
// integer key is read whole as above. The row count is known at open and the
// rows stay those keys until the result is closed. A row's columns are read from the
// file when the row is first drawn, again every time it becomes current, and again when
// drawn after another connection committed (looked at on a timer and by CheckForChanges,
// which tells the views by RowsChanged); it is drawn as last read. So a row that another
// running copy has changed since the open shows the stored values from then on (even if
// they no longer match the statement), and a row another copy has deleted shows as a
// row without values: no key, nothing to edit or delete. A row that cannot be read
// while drawing is drawn as read before, or with its key alone; drawing never waits for
// a lock, and such a row is read again once the file may be free. No row ever shows
// another row's values. A failure to read a row while drawing is not reported (a box
// must not come up in the middle of painting); when the row becomes current, RowError
// says why it cannot be read.
//
// A result opened only to insert into (a whole table, say) is asked to read no rows at
// all, which keeps adding a paragraph instant however large the catalogue is. Edits,
// inserts and deletes are written through to the file immediately and mirrored in the
// result.
class Query : public QObject {
    Q_OBJECT
public:
    enum class State { Inactive, Browse, Edit, Insert };
    enum class Reading { Everything, Keys };

    explicit Query(QObject* parent = nullptr);
    ~Query() override;

    void SetConnection(Connection* connection) { connection_ = connection; }
    Connection* GetConnection() const { return connection_; }

    // The statement text and the values bound to its ? placeholders, in order.
    void SetSql(const QString& sql, const QVariantList& parameters = {});
    void ClearSql();
    QString Sql() const { return sql_; }

    bool Open(QString* error);
    void Close();
    // The next Open prepares its statement but reads none of its rows: for a result
    // opened only to insert into. Such a result holds only the rows inserted through it.
    void SkipRowsOnNextOpen() { skipRows_ = true; }
    // How every later Open reads its result (see above).
    void SetReading(Reading reading) { reading_ = reading; }
    bool Active() const { return state_ != State::Inactive; }
    State GetState() const { return state_; }

    int RecordCount() const;
    // 0-based position of the current row; -1 when there is none.
    int RecNo() const;
    bool Eof() const { return eof_; }
    void First();
    void Next();
    void MoveTo(int row);
    bool Locate(const QString& field, const QVariant& value);

    int FieldCount() const { return static_cast<int>(shape_.names.size()); }
    QString FieldName(int column) const { return shape_.names[column]; }
    int FieldIndex(const QString& name) const;
    bool HasField(const QString& name) const { return FieldIndex(name) >= 0; }

    // The current row (or the row being edited or inserted). An unknown field reads
    // as no value.
    QString AsString(const QString& field) const;
    qint64 AsInteger(const QString& field) const;
    bool IsNull(const QString& field) const;

    // Any row of the result, for views that draw many rows.
    QString TextAt(int row, int column) const;
    // Whether a result read by key may show rows another connection has changed since
    // they were read: if so, RowsChanged. Cheap, and never waits for a lock.
    void CheckForChanges();
    // Why the current row could not be read when it became current; empty when it was
    // read, and when another copy has deleted it.
    QString RowError() const { return rowError_; }

    void Edit();
    void Append();
    void SetField(const QString& field, const QVariant& value);
    bool Post(QString* error);
    void Cancel();
    bool Delete(QString* error);

signals:
    // The current row changed: after a non-empty open, a move, the start of an insert,
    // a delete, a successful locate, or an unstored insert being dropped.
    void AfterScroll();
    // Rows came, went or changed: views over the result must redraw.
    void DataChanged();
    // The same rows in the same places, but their values may have changed: views must
    // draw them again, without moving.
    void RowsChanged();

private:
    // Where the values of one row are: a store and the row's place in it; no store when
    // there is no such row or it cannot be read.
    struct RowRef {
        const RowStore* store = nullptr;
        int index = -1;
    };
    RowRef At(int row) const;
    RowRef Current() const;
    int Count() const;
    qint64 KeyAt(int row) const;
    bool OpenFailed(const QString& text, QString* error);
    bool BindParameters(Sqlite::Statement& statement) const;
    bool ReadKeys(const ResultShape& shape, Sqlite::Statement& statement, QString* error);
    int FindKey(int column, const QVariant& value) const;

    bool Discard();
    bool CheckWritable(QString* error);
    bool Refused(QString* error);
    bool StoreEdit(QString* error);
    bool StoreInsert(QString* error);
    bool Reread(int row, qint64 key, QString* error);
    std::vector<RowWriter::Value> Changes() const;
    QVariant BufferedValue(int column) const;
    void Scrolled();

    Connection* connection_ = nullptr;
    QString sql_;
    QVariantList parameters_;
    State state_ = State::Inactive;
    Reading reading_ = Reading::Everything;
    bool skipRows_ = false;
    // Where stores go: the one table every column comes from, and its key column.
    ResultShape shape_;
    QHash<QString, int> index_;

    // Every row of a result read whole; the keys and fetched rows of one read by key.
    RowStore rows_;
    bool keyed_ = false;
    mutable QueryKeyset keyset_;
    // Another running copy's commits show within a second without any action here.
    static constexpr int kChangeWatchMs = 250;
    QTimer changeWatch_;
    QString rowError_;
    int current_ = -1;
    bool eof_ = true;

    // Values set since Edit or Append, by column; unset columns keep their old value.
    std::vector<QVariant> buffer_;
    std::vector<bool> dirty_;
    QString fieldError_;
    int beforeInsert_ = -1;
};
