#include "Query.h"

#include "Connection.h"

#include <QRegularExpression>

#include <sqlite3.h>

#include <algorithm>
#include <utility>

namespace {

class Statement {
public:
    Statement(sqlite3* db, const QString& sql, QString* error) {
        const QByteArray text = sql.toUtf8();
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db, text.constData(), static_cast<int>(text.size()), &handle_,
                               &tail) != SQLITE_OK) {
            *error = QString::fromUtf8(sqlite3_errmsg(db));
            return;
        }
        if (!handle_ || (tail && *QByteArray(tail).trimmed().constData() != '\0' &&
                         QByteArray(tail).trimmed() != ";")) {
            *error = QStringLiteral("a query takes exactly one statement");
            sqlite3_finalize(handle_);
            handle_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(handle_); }
    Statement(Statement&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    sqlite3_stmt* handle_ = nullptr;
};

bool Bind(sqlite3_stmt* statement, int position, const QVariant& value) {
    if (value.isNull())
        return sqlite3_bind_null(statement, position) == SQLITE_OK;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
    case QMetaType::Bool:
        return sqlite3_bind_int64(statement, position, value.toLongLong()) == SQLITE_OK;
    case QMetaType::Double:
        return sqlite3_bind_double(statement, position, value.toDouble()) == SQLITE_OK;
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return sqlite3_bind_blob64(statement, position, bytes.constData(), bytes.size(),
                                   SQLITE_TRANSIENT) == SQLITE_OK;
    }
    default: {
        const QByteArray text = value.toString().toUtf8();
        return sqlite3_bind_text64(statement, position, text.constData(), text.size(),
                                   SQLITE_TRANSIENT, SQLITE_UTF8) == SQLITE_OK;
    }
    }
}

QString Quoted(const QString& identifier) {
    return QLatin1Char('"') + QString(identifier).replace(QLatin1Char('"'), QLatin1String("\"\"")) +
           QLatin1Char('"');
}

QString ErrorOf(sqlite3* db) {
    return QString::fromUtf8(sqlite3_errmsg(db));
}

// `sql` selecting only `key`, when it selects every column ("Select * From ..."); an
// empty text, which fails to prepare, when it has another shape.
QString KeysStatement(const QString& sql, const QString& key) {
    static const QRegularExpression selectAll(QStringLiteral("^\\s*select\\s+\\*\\s"),
                                              QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = selectAll.match(sql);
    if (!match.hasMatch())
        return QString();
    return QStringLiteral("SELECT ") + Quoted(key) + QLatin1Char(' ') +
           sql.mid(match.capturedEnd());
}

} // namespace

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

bool Query::Open(QString* error) {
    Close();
    const bool skipRows = std::exchange(skipRows_, false);
    Connection::WaitScope scope(connection_);
    QString failure;
    auto fail = [&](const QString& text) {
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
    };
    if (!connection_)
        return fail(QStringLiteral("query has no connection"));
    if (!connection_->Open(&failure))
        return fail(failure);
    sqlite3* db = connection_->Handle();
    Statement statement(db, sql_, &failure);
    if (!statement)
        return fail(failure);
    sqlite3_stmt* st = statement.get();
    if (!sqlite3_stmt_readonly(st))
        return fail(QStringLiteral("only select statements may be opened"));
    for (int i = 0; i < parameters_.size(); ++i)
        if (!Bind(st, i + 1, parameters_[i]))
            return fail(ErrorOf(db));

    const int columns = sqlite3_column_count(st);
    std::vector<QString> names(columns);
    std::vector<QString> origins(columns);
    QString table;
    bool oneTable = columns > 0;
    int keyColumn = -1;
    bool integerKey = false;
    for (int i = 0; i < columns; ++i) {
        names[i] = QString::fromUtf8(sqlite3_column_name(st, i));
        const char* tableName = sqlite3_column_table_name(st, i);
        const char* origin = sqlite3_column_origin_name(st, i);
        if (!tableName || !origin) {
            oneTable = false;
            continue;
        }
        const QString thisTable = QString::fromUtf8(tableName);
        if (table.isEmpty())
            table = thisTable;
        else if (table.compare(thisTable, Qt::CaseInsensitive) != 0)
            oneTable = false;
        origins[i] = QString::fromUtf8(origin);
        const char* declared = nullptr;
        int primaryKey = 0;
        if (sqlite3_table_column_metadata(db, sqlite3_column_database_name(st, i), tableName,
                                          origin, &declared, nullptr, nullptr, &primaryKey,
                                          nullptr) == SQLITE_OK &&
            primaryKey) {
            keyColumn = i;
            integerKey =
                declared && QByteArray(declared).compare("INTEGER", Qt::CaseInsensitive) == 0;
        }
    }

    // Every row, or every key, is read now, each step checked: a failure half-way must
    // fail the open, never leave a result that looks complete.
    const bool keyed =
        reading_ == Reading::Keys && !skipRows && oneTable && keyColumn >= 0 && integerKey;
    RowStore rows;
    rows.Reset(columns);
    if (keyed) {
        keyColumn_ = keyColumn;
        origins_ = origins;
        table_ = table;
        keyset_.Reset(connection_, RowByKeySql(), columns);
        // Selecting the key alone spares SQLite reading every column of every row; the
        // statement itself serves when it cannot be put that way.
        QString unused;
        Statement keys(db, KeysStatement(sql_, origins[keyColumn]), &unused);
        bool bound = true;
        for (int i = 0; keys && bound && i < parameters_.size(); ++i)
            bound = Bind(keys.get(), i + 1, parameters_[i]);
        if (!bound)
            failure = ErrorOf(db);
        if (!bound || !ReadKeys(keys ? keys.get() : st, &failure)) {
            keyset_.Clear();
            return fail(failure);
        }
    } else if (!skipRows) {
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW)
            if (!rows.AppendFromStatement(st))
                return fail(ErrorOf(db));
        if (rc != SQLITE_DONE)
            return fail(ErrorOf(db));
    }
    rows_ = std::move(rows);
    keyed_ = keyed;
    if (keyed_)
        changeWatch_.start();
    const bool hasRows = Count() > 0;

    names_ = std::move(names);
    index_.clear();
    for (int i = 0; i < columns; ++i)
        index_.insert(names_[i].toLower(), i);
    origins_ = std::move(origins);
    table_ = oneTable ? table : QString();
    keyColumn_ = oneTable ? keyColumn : -1;
    state_ = State::Browse;
    current_ = hasRows ? 0 : -1;
    eof_ = !hasRows;
    emit DataChanged();
    if (hasRows)
        Scrolled();
    return true;
}

// Reads the key column of every row of `statement`, which is either the key statement
// (one column) or the result's own.
bool Query::ReadKeys(sqlite3_stmt* statement, QString* error) {
    const int column = sqlite3_column_count(statement) == 1 ? 0 : keyColumn_;
    std::vector<qint64>& keys = keyset_.Keys();
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        keys.push_back(sqlite3_column_int64(statement, column));
    if (rc == SQLITE_DONE)
        return true;
    *error = ErrorOf(sqlite3_db_handle(statement));
    return false;
}

int Query::Count() const {
    return keyed_ ? static_cast<int>(keyset_.Keys().size()) : rows_.Count();
}

qint64 Query::KeyAt(int row) const {
    return keyed_ ? keyset_.Keys()[row] : rows_.IntegerAt(row, keyColumn_);
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
    names_.clear();
    index_.clear();
    origins_.clear();
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
    if (keyed_ && column == keyColumn_) {
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
    return drawn.unreadable && column == keyColumn_ ? QString::number(key) : QString();
}

void Query::CheckForChanges() {
    if (keyed_ && Active() && keyset_.Outdated())
        emit RowsChanged();
}

void Query::Edit() {
    // A row that could not be read is never written: its values would be guesses.
    if (state_ != State::Browse || !Current().store)
        return;
    state_ = State::Edit;
    buffer_.assign(FieldCount(), QVariant());
    dirty_.assign(FieldCount(), false);
    fieldError_.clear();
}

void Query::Append() {
    if (state_ == State::Inactive)
        return;
    Discard();
    beforeInsert_ = current_;
    state_ = State::Insert;
    buffer_.assign(FieldCount(), QVariant());
    dirty_.assign(FieldCount(), false);
    fieldError_.clear();
    current_ = Count();
    eof_ = false;
    Scrolled();
}

void Query::SetField(const QString& field, const QVariant& value) {
    if (state_ != State::Edit && state_ != State::Insert)
        return;
    const int column = FieldIndex(field);
    if (column < 0) {
        if (fieldError_.isEmpty())
            fieldError_ = QStringLiteral("no such column: %1").arg(field);
        return;
    }
    buffer_[column] = value;
    dirty_[column] = true;
}

void Query::Cancel() {
    if (Discard())
        Scrolled();
}

// Dropping an unstored insert puts the row that was current before it back, so the
// callers that move on afterwards must count that as a change of row too.
bool Query::Discard() {
    const bool dropped = state_ == State::Insert;
    if (dropped) {
        current_ = beforeInsert_;
        eof_ = current_ < 0;
    }
    if (state_ == State::Edit || state_ == State::Insert)
        state_ = State::Browse;
    buffer_.clear();
    dirty_.clear();
    return dropped;
}

bool Query::CheckWritable(QString* error) {
    QString text;
    if (!connection_)
        text = QStringLiteral("query has no connection");
    else if (table_.isEmpty() || keyColumn_ < 0)
        text = QStringLiteral("this result cannot be changed");
    else if (!fieldError_.isEmpty())
        text = fieldError_;
    // A store is a statement like any other: the connection may have been closed since
    // this result opened (a failed statement on another query closes it), and is opened
    // again here rather than leaving every open result unable to store.
    else if (!connection_->Open(&text) && text.isEmpty())
        text = QStringLiteral("database is not open");
    if (text.isEmpty())
        return true;
    if (error)
        *error = text;
    return false;
}

bool Query::Post(QString* error) {
    if (state_ != State::Edit && state_ != State::Insert)
        return true;
    Connection::WaitScope scope(connection_);
    if (!CheckWritable(error))
        return false;
    const bool stored = state_ == State::Edit ? StoreEdit(error) : StoreInsert(error);
    if (stored) {
        state_ = State::Browse;
        buffer_.clear();
        dirty_.clear();
        emit DataChanged();
    }
    return stored || Refused(error);
}

// A store the file refused for its damage says so, rather than SQLite's "not authorized".
bool Query::Refused(QString* error) {
    connection_->NoteFailure();
    if (error && connection_->Damaged())
        *error = connection_->WithDamageNotice(QString::fromUtf8(sqlite3_errstr(SQLITE_CORRUPT)));
    return false;
}

// Reads a stored row back, so the result holds exactly what the file holds (defaults,
// the assigned key, the column types the table gave the values).
bool Query::Reread(int row, qint64 key, QString* error) {
    if (keyed_) {
        std::vector<qint64>& keys = keyset_.Keys();
        if (row < Count()) {
            keyset_.Forget(keys[row]);
            keys[row] = key;
        } else {
            keys.push_back(key);
        }
        QString failure;
        const QueryKeyset::Fetch fetched = keyset_.Pin(key, &failure);
        if (fetched != QueryKeyset::Fetch::Read && error)
            *error = fetched == QueryKeyset::Fetch::Gone
                         ? QStringLiteral("the stored row cannot be read back")
                         : failure;
        return fetched == QueryKeyset::Fetch::Read;
    }
    sqlite3* db = connection_->Handle();
    QString failure;
    Statement statement(db, RowByKeySql(), &failure);
    if (!statement) {
        if (error)
            *error = failure;
        return false;
    }
    const int rc = sqlite3_bind_int64(statement.get(), 1, key) == SQLITE_OK
                       ? sqlite3_step(statement.get())
                       : SQLITE_ERROR;
    if (rc != SQLITE_ROW) {
        if (error)
            *error = rc == SQLITE_DONE ? QStringLiteral("the stored row cannot be read back")
                                       : ErrorOf(db);
        return false;
    }
    const bool kept = row < rows_.Count() ? rows_.ReplaceFromStatement(row, statement.get())
                                          : rows_.AppendFromStatement(statement.get());
    if (!kept && error)
        *error = ErrorOf(db);
    return kept;
}

// Selects the result's columns of the one row whose key is bound to the parameter.
QString Query::RowByKeySql() const {
    QStringList columns;
    for (const QString& origin : origins_)
        columns << Quoted(origin);
    return QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ?")
        .arg(columns.join(QLatin1Char(',')), Quoted(table_), Quoted(origins_[keyColumn_]));
}

bool Query::StoreEdit(QString* error) {
    sqlite3* db = connection_->Handle();
    const qint64 key = KeyAt(current_);
    QStringList assignments;
    QVariantList values;
    for (int i = 0; i < FieldCount(); ++i) {
        if (!dirty_[i])
            continue;
        assignments << Quoted(origins_[i]) + QStringLiteral(" = ?");
        values << buffer_[i];
    }
    if (assignments.isEmpty())
        return true;
    QString failure;
    // RETURNING gives the key the row has after the store, which differs from `key`
    // when the key column itself was set; the row is read back under that key.
    Statement statement(db,
                        QStringLiteral("UPDATE %1 SET %2 WHERE %3 = ? RETURNING %3")
                            .arg(Quoted(table_), assignments.join(QStringLiteral(", ")),
                                 Quoted(origins_[keyColumn_])),
                        &failure);
    bool ok = static_cast<bool>(statement);
    for (int i = 0; ok && i < values.size(); ++i)
        ok = Bind(statement.get(), i + 1, values[i]);
    ok = ok &&
         sqlite3_bind_int64(statement.get(), static_cast<int>(values.size()) + 1, key) == SQLITE_OK;
    bool found = false;
    qint64 storedKey = key;
    if (ok) {
        int rc = sqlite3_step(statement.get());
        if (rc == SQLITE_ROW) {
            found = true;
            storedKey = sqlite3_column_int64(statement.get(), 0);
            rc = sqlite3_step(statement.get());
        }
        ok = rc == SQLITE_DONE;
    }
    if (!ok) {
        if (error)
            *error = failure.isEmpty() ? ErrorOf(db) : failure;
        return false;
    }
    if (!found) {
        if (error)
            *error = QStringLiteral("找不到要更新的行：它已被删除。");
        return false;
    }
    return Reread(current_, storedKey, error);
}

bool Query::StoreInsert(QString* error) {
    sqlite3* db = connection_->Handle();
    QStringList columns;
    QStringList marks;
    QVariantList values;
    for (int i = 0; i < FieldCount(); ++i) {
        if (!dirty_[i])
            continue;
        columns << Quoted(origins_[i]);
        marks << QStringLiteral("?");
        values << buffer_[i];
    }
    const QString sql = columns.isEmpty()
                            ? QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(Quoted(table_))
                            : QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                  .arg(Quoted(table_), columns.join(QLatin1Char(',')),
                                       marks.join(QLatin1Char(',')));
    QString failure;
    Statement statement(db, sql, &failure);
    bool ok = static_cast<bool>(statement);
    for (int i = 0; ok && i < values.size(); ++i)
        ok = Bind(statement.get(), i + 1, values[i]);
    if (ok && sqlite3_step(statement.get()) != SQLITE_DONE)
        ok = false;
    if (!ok) {
        if (error)
            *error = failure.isEmpty() ? ErrorOf(db) : failure;
        return false;
    }
    const qint64 key = sqlite3_last_insert_rowid(db);
    if (!Reread(Count(), key, error))
        return false;
    current_ = Count() - 1;
    eof_ = false;
    return true;
}

bool Query::Delete(QString* error) {
    if (Discard()) {
        Scrolled();
        return true;
    }
    if (state_ != State::Browse || current_ < 0 || current_ >= Count()) {
        if (error)
            *error = QStringLiteral("there is no row to delete");
        return false;
    }
    Connection::WaitScope scope(connection_);
    if (!CheckWritable(error))
        return false;
    sqlite3* db = connection_->Handle();
    QString failure;
    Statement statement(db,
                        QStringLiteral("DELETE FROM %1 WHERE %2 = ?")
                            .arg(Quoted(table_), Quoted(origins_[keyColumn_])),
                        &failure);
    bool ok = static_cast<bool>(statement) &&
              sqlite3_bind_int64(statement.get(), 1, KeyAt(current_)) == SQLITE_OK &&
              sqlite3_step(statement.get()) == SQLITE_DONE;
    if (!ok) {
        if (error)
            *error = failure.isEmpty() ? ErrorOf(db) : failure;
        return Refused(error);
    }
    // A row another copy already deleted is gone either way: not an error.
    if (keyed_) {
        keyset_.Forget(KeyAt(current_));
        keyset_.Keys().erase(keyset_.Keys().begin() + current_);
    } else {
        rows_.Remove(current_);
    }
    if (current_ >= Count())
        current_ = Count() - 1;
    eof_ = current_ < 0;
    emit DataChanged();
    Scrolled();
    return true;
}
