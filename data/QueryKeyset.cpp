#include "QueryKeyset.h"

#include "Connection.h"

#include <sqlite3.h>

#include <utility>

namespace {

// Another program holds the file: worth trying again once it lets go.
bool Locked(sqlite3* db) {
    const int code = Sqlite::LastCode(db) & 0xff;
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

} // namespace

QueryKeyset::~QueryKeyset() {
    Finalize();
}

void QueryKeyset::Finalize() {
    statement_.reset();
    versionStatement_.reset();
}

void QueryKeyset::Reset(Connection* connection, const QString& rowSql, int columns) {
    Clear();
    connection_ = connection;
    rowSql_ = rowSql;
    cache_.Reset(columns);
    pinned_.Reset(columns);
    // Taken before the keys are read, so that a commit made while they are read counts
    // as a change.
    qint64 version = -1;
    if (ReadVersion(&version)) {
        version_ = version;
        versionGeneration_ = generation_;
    }
}

void QueryKeyset::Clear() {
    Finalize();
    keys_ = {};
    cache_.Reset(0);
    cached_.clear();
    pinned_.Reset(0);
    hasPin_ = false;
    retry_ = false;
    version_ = -1;
}

// The statements are prepared once per result and used for every row; a connection
// opened again since (after another statement failed) needs them made afresh.
bool QueryKeyset::Prepare(std::optional<Sqlite::Statement>* statement, const QByteArray& sql) {
    if (generation_ != connection_->Generation())
        Finalize();
    if (*statement)
        return true;
    if (!statement->emplace(connection_->Handle(), sql.constData()).IsValid()) {
        statement->reset();
        return false;
    }
    generation_ = connection_->Generation();
    return true;
}

QueryKeyset::Outcome QueryKeyset::Read(qint64 key, RowStore& into, QString* error) {
    const auto failed = [&](const QString& text, Outcome outcome = Outcome::Failed) {
        if (error)
            *error = text;
        return outcome;
    };
    if (!connection_)
        return failed(QStringLiteral("query has no connection"));
    Connection::WaitScope scope(connection_);
    QString failure;
    if (!connection_->Open(&failure))
        return failed(failure);
    sqlite3* db = connection_->Handle();
    if (!Prepare(&statement_, rowSql_.toUtf8()))
        return failed(Sqlite::LastError(db), Locked(db) ? Outcome::Busy : Outcome::Failed);
    Outcome result = Outcome::Failed;
    if (statement_->BindInteger(1, key)) {
        const bool row = statement_->Next();
        if (!row && !statement_->Failed())
            result = Outcome::Gone;
        else if (row && into.AppendFromStatement(statement_->Get()))
            result = Outcome::Read;
        else if (Locked(db))
            result = Outcome::Busy;
    }
    if (result == Outcome::Failed || result == Outcome::Busy) {
        failure = Sqlite::LastError(db);
        connection_->NoteFailure();
    }
    // Reset at once: a statement left on a row would keep the file locked for reading.
    statement_->Reset();
    return result == Outcome::Read || result == Outcome::Gone ? result : failed(failure, result);
}

QueryKeyset::Drawn QueryKeyset::Draw(qint64 key) {
    auto found = cached_.find(key);
    if (found == cached_.end() || found->second.epoch != epoch_) {
        MakeRoom();
        found = cached_.find(key);
        Entry entry;
        entry.epoch = epoch_;
        const int place = cache_.Count();
        Outcome outcome = Outcome::Failed;
        if (connection_) {
            Connection::NoWaitScope noWait(connection_);
            outcome = Read(key, cache_, nullptr);
        }
        switch (outcome) {
        case Outcome::Read:
            entry.index = place;
            break;
        case Outcome::Gone:
            break;
        case Outcome::Busy:
            retry_ = true;
            // What was read before stands in until the file is free again.
            if (found != cached_.end())
                entry = found->second;
            else
                entry.unreadable = true;
            entry.epoch = epoch_;
            break;
        case Outcome::Failed:
            entry.unreadable = true;
            break;
        }
        found = cached_.insert_or_assign(key, entry).first;
    }
    const Entry& entry = found->second;
    return {entry.index >= 0 ? &cache_ : nullptr, entry.index, entry.unreadable};
}

QueryKeyset::Fetch QueryKeyset::Pin(qint64 key, QString* error) {
    pinned_.Clear();
    const Outcome outcome = Read(key, pinned_, error);
    hasPin_ = true;
    pinnedKey_ = key;
    // The row is drawn as just read, now and after the selection moves on.
    Forget(key);
    switch (outcome) {
    case Outcome::Read: {
        const int place = Keep(pinned_, 0);
        cached_.insert_or_assign(key, Entry{place, epoch_, false});
        return Fetch::Read;
    }
    case Outcome::Gone:
        cached_.insert_or_assign(key, Entry{-1, epoch_, false});
        return Fetch::Gone;
    default:
        return Fetch::Failed;
    }
}

bool QueryKeyset::IsPinned(qint64 key, const RowStore** store) const {
    if (!hasPin_ || pinnedKey_ != key)
        return false;
    *store = pinned_.Count() > 0 ? &pinned_ : nullptr;
    return true;
}

bool QueryKeyset::ReadVersion(qint64* version) {
    if (!connection_ || !connection_->Connected())
        return false;
    Connection::NoWaitScope noWait(connection_);
    if (!Prepare(&versionStatement_, QByteArrayLiteral("PRAGMA data_version")))
        return false;
    const bool read = versionStatement_->Next();
    if (read)
        *version = versionStatement_->Integer(0);
    versionStatement_->Reset();
    return read;
}

bool QueryKeyset::Outdated() {
    bool outdated = std::exchange(retry_, false);
    qint64 version = -1;
    if (ReadVersion(&version)) {
        // The version counts per opening of the connection: one opened again since may
        // have missed any number of commits.
        if (version != version_ || generation_ != versionGeneration_)
            outdated = true;
        version_ = version;
        versionGeneration_ = generation_;
    }
    if (outdated)
        ++epoch_;
    return outdated;
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
