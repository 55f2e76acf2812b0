#include "Query.h"

#include "Connection.h"
#include "Sqlite.h"

#include <algorithm>
#include <utility>

using Sqlite::LastError;

Query::Query(QObject* parent) : QObject(parent) {
    changeWatch_.setInterval(kChangeWatchMs);
    connect(&changeWatch_, &QTimer::timeout, this, &Query::CheckForChanges);
}

Query::~Query() = default;

void Query::SetSql(const QString& sql, const QVariantList& parameters) {
    sql_ = sql;
    parameters_ = parameters;
}

void Query::ClearSql() {
    sql_.clear();
    parameters_.clear();
}

bool Query::OpenFailed(const QString& text, QString* error) {
    if (error)
        *error = text;
    if (connection_)
        connection_->NoteFailure();
    // Let the next statement open the file afresh: the user may have put a good
    // catalogue in place of a broken one meanwhile. Never inside a transaction,
    // whose owner decides what happens to it.
    if (connection_ && !connection_->InTransaction())
        connection_->Close();
    return false;
}

bool Query::BindParameters(Sqlite::Statement& statement) const {
    for (int i = 0; i < parameters_.size(); ++i)
        if (!statement.Bind(i + 1, parameters_[i]))
            return false;
    return true;
}

bool Query::Open(QString* error) {
    Close();
    const bool skipRows = std::exchange(skipRows_, false);
    Connection::WaitScope scope(connection_);
    QString failure;
    if (!connection_)
        return OpenFailed(QStringLiteral("query has no connection"), error);
    if (!connection_->Open(&failure))
        return OpenFailed(failure, error);
    sqlite3* db = connection_->Handle();
    Sqlite::Statement statement(db, sql_, &failure);
    if (!statement.IsValid())
        return OpenFailed(failure, error);
    if (!statement.ReadOnly())
        return OpenFailed(QStringLiteral("only select statements may be opened"), error);
    if (!BindParameters(statement))
        return OpenFailed(LastError(db), error);
    ResultShape shape = ResultShape::Of(statement.Get());

    // Every row, or every key, is read now, each step checked: a failure half-way must
    // fail the open, never leave a result that looks complete.
    const bool keyed =
        reading_ == Reading::Keys && !skipRows && shape.keyColumn >= 0 && shape.integerKey;
    const int columns = static_cast<int>(shape.names.size());
    RowStore rows;
    rows.Reset(columns);
    if (keyed) {
        if (!ReadKeys(shape, statement, &failure)) {
            keyset_.Clear();
            return OpenFailed(failure, error);
        }
    } else if (!skipRows) {
        while (statement.Next())
            if (!rows.AppendFromStatement(statement.Get()))
                return OpenFailed(LastError(db), error);
        if (statement.Failed())
            return OpenFailed(LastError(db), error);
    }
    rows_ = std::move(rows);
    keyed_ = keyed;
    if (keyed_)
        changeWatch_.start();
    const bool hasRows = Count() > 0;

    shape_ = std::move(shape);
    index_.clear();
    for (int i = 0; i < columns; ++i)
        index_.insert(shape_.names[i].toLower(), i);
    state_ = State::Browse;
    current_ = hasRows ? 0 : -1;
    eof_ = !hasRows;
    emit DataChanged();
    if (hasRows)
        Scrolled();
    return true;
}

// Reads the key of every row: by the statement selecting the key alone, which spares
// SQLite reading every column of every row, or by the result's own when it cannot be put
// that way.
bool Query::ReadKeys(const ResultShape& shape, Sqlite::Statement& statement, QString* error) {
    sqlite3* db = connection_->Handle();
    keyset_.Reset(connection_, shape.RowByKeySql(), static_cast<int>(shape.names.size()));
    Sqlite::Statement keys(db, shape.KeysSql(sql_), nullptr);
    if (keys.IsValid() && !BindParameters(keys)) {
        *error = LastError(db);
        return false;
    }
    Sqlite::Statement& source = keys.IsValid() ? keys : statement;
    const int column = keys.IsValid() ? 0 : shape.keyColumn;
    std::vector<qint64>& found = keyset_.Keys();
    while (source.Next())
        found.push_back(source.Integer(column));
    if (!source.Failed())
        return true;
    *error = LastError(db);
    return false;
}

int Query::Count() const {
    return keyed_ ? static_cast<int>(keyset_.Keys().size()) : rows_.Count();
}

qint64 Query::KeyAt(int row) const {
    return keyed_ ? keyset_.Keys()[row] : rows_.IntegerAt(row, shape_.keyColumn);
}

Query::RowRef Query::At(int row) const {
    if (row < 0 || row >= Count())
        return {};
    if (!keyed_)
        return {&rows_, row};
    // The current row is the one read when it became current, whatever was drawn.
    const qint64 key = keyset_.Keys()[row];
    RowRef ref;
    if (row == current_ && keyset_.IsPinned(key, &ref.store)) {
        ref.index = 0;
    } else {
        const QueryKeyset::Drawn drawn = keyset_.Draw(key);
        ref = {drawn.store, drawn.index};
    }
    return ref;
}

Query::RowRef Query::Current() const {
    return state_ == State::Insert ? RowRef{} : At(current_);
}

int Query::RecordCount() const {
    return Count();
}

int Query::RecNo() const {
    return current_;
}

void Query::Close() {
    if (state_ == State::Inactive)
        return;
    state_ = State::Inactive;
    rows_.Reset(0);
    keyed_ = false;
    changeWatch_.stop();
    keyset_.Clear();
    rowError_.clear();
    shape_ = ResultShape();
    index_.clear();
    buffer_.clear();
    dirty_.clear();
    current_ = -1;
    eof_ = true;
    emit DataChanged();
}

void Query::Scrolled() {
    // A row read by key is read afresh each time it becomes current, before anyone who
    // is told of the move looks at it.
    rowError_.clear();
    if (keyed_) {
        if (current_ >= 0 && current_ < Count() && state_ != State::Insert)
            keyset_.Pin(KeyAt(current_), &rowError_);
        else
            keyset_.Unpin();
    }
    emit AfterScroll();
}

void Query::First() {
    if (!Active())
        return;
    const bool dropped = Discard();
    if (Count() == 0) {
        current_ = -1;
        eof_ = true;
        if (dropped)
            Scrolled();
        return;
    }
    const bool moved = dropped || current_ != 0 || eof_;
    current_ = 0;
    eof_ = false;
    if (moved)
        Scrolled();
}

void Query::Next() {
    if (!Active())
        return;
    const bool dropped = Discard();
    if (current_ + 1 < Count()) {
        ++current_;
        eof_ = false;
        Scrolled();
    } else {
        eof_ = true;
        if (dropped)
            Scrolled();
    }
}

void Query::MoveTo(int row) {
    if (!Active() || row < 0 || row >= RecordCount())
        return;
    const bool dropped = Discard();
    if (row == current_ && !eof_ && !dropped)
        return;
    current_ = row;
    eof_ = false;
    Scrolled();
}

bool Query::Locate(const QString& field, const QVariant& value) {
    const int column = FieldIndex(field);
    if (!Active() || column < 0)
        return false;
    const bool dropped = Discard();
    const int row = FindKey(column, value);
    if (row >= 0) {
        current_ = row;
        eof_ = false;
        Scrolled();
        return true;
    }
    if (dropped)
        Scrolled();
    return false;
}

// The first row whose `column` holds `value`: compared as a number unless `value` is
// text. A key is looked up among the keys, without reading any row.
int Query::FindKey(int column, const QVariant& value) const {
    const bool byNumber = value.typeId() != QMetaType::QString;
    const qint64 number = value.toLongLong();
    const QString text = value.toString();
    if (keyed_ && column == shape_.keyColumn) {
        if (!byNumber && QString::number(number) != text)
            return -1;
        const auto& keys = keyset_.Keys();
        const auto found = std::find(keys.begin(), keys.end(), number);
        return found == keys.end() ? -1 : static_cast<int>(found - keys.begin());
    }
    for (int row = 0; row < Count(); ++row) {
        const RowRef ref = At(row);
        if (!ref.store)
            continue;
        const bool match = byNumber
                               ? ref.store->KindAt(ref.index, column) != RowStore::Kind::Null &&
                                     ref.store->IntegerAt(ref.index, column) == number
                               : ref.store->TextAt(ref.index, column) == text;
        if (match)
            return row;
    }
    return -1;
}

int Query::FieldIndex(const QString& name) const {
    return index_.value(name.toLower(), -1);
}

QVariant Query::BufferedValue(int column) const {
    if (state_ == State::Edit || state_ == State::Insert) {
        if (dirty_[column] || state_ == State::Insert)
            return buffer_[column];
    }
    const RowRef ref = Current();
    return ref.store ? ref.store->ValueAt(ref.index, column) : QVariant();
}

QString Query::AsString(const QString& field) const {
    const int column = FieldIndex(field);
    if (column < 0)
        return QString();
    if (state_ == State::Browse) {
        const RowRef ref = Current();
        return ref.store ? ref.store->TextAt(ref.index, column) : QString();
    }
    return BufferedValue(column).toString();
}

qint64 Query::AsInteger(const QString& field) const {
    const int column = FieldIndex(field);
    if (column < 0)
        return 0;
    if (state_ == State::Browse) {
        const RowRef ref = Current();
        return ref.store ? ref.store->IntegerAt(ref.index, column) : 0;
    }
    return BufferedValue(column).toLongLong();
}

bool Query::IsNull(const QString& field) const {
    const int column = FieldIndex(field);
    if (column < 0)
        return true;
    return BufferedValue(column).isNull();
}

QString Query::TextAt(int row, int column) const {
    if (column < 0 || column >= FieldCount() || row < 0 || row >= Count())
        return QString();
    if (!keyed_)
        return rows_.TextAt(row, column);
    // Drawn as last read, the current row too, so that a change another copy made shows
    // in the list even while its row stays current.
    const qint64 key = keyset_.Keys()[row];
    const QueryKeyset::Drawn drawn = keyset_.Draw(key);
    if (drawn.store)
        return drawn.store->TextAt(drawn.index, column);
    // A row that could not be read still shows which site it is, unlike one deleted.
    return drawn.unreadable && column == shape_.keyColumn ? QString::number(key) : QString();
}

void Query::CheckForChanges() {
    if (keyed_ && Active() && keyset_.Outdated())
        emit RowsChanged();
}
