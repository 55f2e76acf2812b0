#include "QueryKeyset.h"

#include "Connection.h"

#include <sqlite3.h>

QueryKeyset::~QueryKeyset() {
    Finalize();
}

void QueryKeyset::Finalize() {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
}

void QueryKeyset::Reset(Connection* connection, const QString& rowSql, int columns) {
    Clear();
    connection_ = connection;
    rowSql_ = rowSql;
    cache_.Reset(columns);
    pinned_.Reset(columns);
}

void QueryKeyset::Clear() {
    Finalize();
    keys_ = {};
    cache_.Reset(0);
    cached_.clear();
    pinned_.Reset(0);
    hasPin_ = false;
}

QueryKeyset::Fetch QueryKeyset::Read(qint64 key, RowStore& into, QString* error) {
    const auto failed = [&](const QString& text) {
        if (error)
            *error = text;
        return Fetch::Failed;
    };
    if (!connection_)
        return failed(QStringLiteral("query has no connection"));
    Connection::WaitScope scope(connection_);
    QString failure;
    if (!connection_->Open(&failure))
        return failed(failure);
    sqlite3* db = connection_->Handle();
    // The statement is prepared once per result and used for every row; a connection
    // opened again since (after another statement failed) needs it made afresh.
    if (statement_ && generation_ != connection_->Generation())
        Finalize();
    if (!statement_) {
        const QByteArray sql = rowSql_.toUtf8();
        if (sqlite3_prepare_v2(db, sql.constData(), static_cast<int>(sql.size()), &statement_,
                               nullptr) != SQLITE_OK) {
            Finalize();
            return failed(QString::fromUtf8(sqlite3_errmsg(db)));
        }
        generation_ = connection_->Generation();
    }
    Fetch result = Fetch::Failed;
    if (sqlite3_bind_int64(statement_, 1, key) == SQLITE_OK) {
        const int rc = sqlite3_step(statement_);
        if (rc == SQLITE_DONE)
            result = Fetch::Gone;
        else if (rc == SQLITE_ROW && into.AppendFromStatement(statement_))
            result = Fetch::Read;
    }
    if (result == Fetch::Failed) {
        failure = QString::fromUtf8(sqlite3_errmsg(db));
        connection_->NoteFailure();
    }
    // Reset at once: a statement left on a row would keep the file locked for reading.
    sqlite3_reset(statement_);
    return result == Fetch::Failed ? failed(failure) : result;
}

const RowStore* QueryKeyset::Cached(qint64 key, int* index) {
    auto found = cached_.find(key);
    if (found == cached_.end()) {
        MakeRoom();
        const int place = cache_.Count();
        found = cached_.emplace(key, Read(key, cache_, nullptr) == Fetch::Read ? place : -1).first;
    }
    *index = found->second;
    return found->second >= 0 ? &cache_ : nullptr;
}

QueryKeyset::Fetch QueryKeyset::Pin(qint64 key, QString* error) {
    pinned_.Clear();
    const Fetch result = Read(key, pinned_, error);
    hasPin_ = true;
    pinnedKey_ = key;
    // The row is drawn as just read, now and after the selection moves on.
    Forget(key);
    if (result == Fetch::Read)
        cached_.emplace(key, Keep(pinned_, 0));
    return result;
}

bool QueryKeyset::IsPinned(qint64 key, const RowStore** store) const {
    if (!hasPin_ || pinnedKey_ != key)
        return false;
    *store = pinned_.Count() > 0 ? &pinned_ : nullptr;
    return true;
}

void QueryKeyset::MakeRoom() {
    if (cache_.Count() >= kCachedRows) {
        cache_.Clear();
        cached_.clear();
    }
}

int QueryKeyset::Keep(const RowStore& store, int row) {
    MakeRoom();
    cache_.AppendCopy(store, row);
    return cache_.Count() - 1;
}

void QueryKeyset::Forget(qint64 key) {
    cached_.erase(key);
}
