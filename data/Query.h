#pragma once

#include "RowStore.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <vector>

class Connection;

// A select statement and its result as an updatable snapshot. Opening reads the whole
// result, checking every step, so a lock, an I/O error or a damaged page anywhere in it
// fails the open instead of passing for a shorter result; from then on the result is
// not evaluated again and scrolling never goes back to the file. A result opened only
// to insert into (a whole table, say) is asked to read no rows at all, which keeps
// adding a paragraph instant however large the catalogue is. Edits, inserts and
// deletes are written through to the file immediately and mirrored in the snapshot.
class Query : public QObject {
    Q_OBJECT
public:
    enum class State { Inactive, Browse, Edit, Insert };

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

    int FieldCount() const { return static_cast<int>(names_.size()); }
    QString FieldName(int column) const { return names_[column]; }
    int FieldIndex(const QString& name) const;
    bool HasField(const QString& name) const { return FieldIndex(name) >= 0; }

    // The current row (or the row being edited or inserted). An unknown field reads
    // as no value.
    QString AsString(const QString& field) const;
    qint64 AsInteger(const QString& field) const;
    bool IsNull(const QString& field) const;

    // Any row of the snapshot, for views that draw many rows.
    QString TextAt(int row, int column) const;

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

private:
    bool Discard();
    bool CheckWritable(QString* error);
    bool StoreEdit(QString* error);
    bool StoreInsert(QString* error);
    bool Reread(int row, qint64 key, QString* error);
    QVariant BufferedValue(int column) const;
    void Scrolled();
    int Row() const;

    Connection* connection_ = nullptr;
    QString sql_;
    QVariantList parameters_;
    State state_ = State::Inactive;
    bool skipRows_ = false;
    std::vector<QString> names_;
    QHash<QString, int> index_;

    RowStore rows_;
    int current_ = -1;
    bool eof_ = true;

    // Where stores go: the one table every column comes from, and its key column.
    QString table_;
    std::vector<QString> origins_;
    int keyColumn_ = -1;

    // Values set since Edit or Append, by column; unset columns keep their old value.
    std::vector<QVariant> buffer_;
    std::vector<bool> dirty_;
    QString fieldError_;
    int beforeInsert_ = -1;
};
