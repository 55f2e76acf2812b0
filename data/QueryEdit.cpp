#include "Query.h"

#include "Connection.h"

// Changes through the cursor: the values set since Edit or Append are kept here until
// Post writes them, through a RowWriter, and reads the stored row back.

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
    else if (shape_.table.isEmpty() || shape_.keyColumn < 0)
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
        *error = connection_->WithDamageNotice(QStringLiteral("database disk image is malformed"));
    return false;
}

// Reads a stored row back, so the result holds exactly what the file holds.
bool Query::Reread(int row, qint64 key, QString* error) {
    if (!keyed_)
        return RowWriter(connection_->Handle(), shape_).ReadBack(key, rows_, row, error);
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

// The columns set since Edit or Append.
std::vector<RowWriter::Value> Query::Changes() const {
    std::vector<RowWriter::Value> values;
    for (int i = 0; i < FieldCount(); ++i)
        if (dirty_[i])
            values.push_back({i, buffer_[i]});
    return values;
}

bool Query::StoreEdit(QString* error) {
    const std::vector<RowWriter::Value> values = Changes();
    if (values.empty())
        return true;
    qint64 storedKey = 0;
    return RowWriter(connection_->Handle(), shape_)
               .Update(KeyAt(current_), values, &storedKey, error) &&
           Reread(current_, storedKey, error);
}

bool Query::StoreInsert(QString* error) {
    qint64 key = 0;
    if (!RowWriter(connection_->Handle(), shape_).Insert(Changes(), &key, error) ||
        !Reread(Count(), key, error))
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
    if (!RowWriter(connection_->Handle(), shape_).Delete(KeyAt(current_), error))
        return Refused(error);
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
