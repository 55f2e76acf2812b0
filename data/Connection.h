#pragma once

#include "Sqlite.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <utility>

struct sqlite3;

// The one link to the catalogue file. It opens on the first statement that needs it
// and stays open; after a failed open the next statement tries again. It never
// creates a missing file, and a file that lacks one of the catalogue's tables or
// columns does not open, so nothing is ever written to it.
class Connection : public QObject {
    Q_OBJECT
public:
    explicit Connection(QString fileName = QStringLiteral("Sitemora.mdb"),
                        QObject* parent = nullptr);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    QString FileName() const { return fileName_; }
    void SetFileName(const QString& fileName);

    bool Connected() const { return static_cast<bool>(db_); }
    bool Open(QString* error);
    void Close();
    sqlite3* Handle() const { return db_.Get(); }
    // Counts the opens, so that whoever keeps a prepared statement can tell that the
    // handle it was made on has gone.
    quint64 Generation() const { return generation_; }

    // Groups several stores so that they reach the file together or not at all.
    bool Begin(QString* error);
    bool Commit(QString* error);
    void Rollback();
    bool InTransaction() const;

    // How long a statement waits for another running copy to release the file.
    int BusyTimeout() const { return busyTimeoutMs_; }
    void SetBusyTimeout(int milliseconds) { busyTimeoutMs_ = milliseconds; }

    // Runs `hook` just before the first statement of this run that may change the file is
    // prepared (a row stored or deleted, a transaction begun). The hook may wait, for at
    // most the milliseconds it is given, and returns whether what it waited for is done;
    // if not, that statement fails and the next one that writes runs the hook again. Its
    // wait shows and counts as the statement's wait for the file: SQLite's lock wait gets
    // what is left of the one budget.
    void SetBeforeFirstWrite(std::function<bool(int waitMs)> hook);

    // Called right after a call into SQLite on this connection failed. When SQLite found
    // the catalogue's own tables damaged, nothing is written to the file for the rest of
    // the run: every statement that would change it fails to prepare.
    void NoteFailure();
    bool Damaged() const { return damaged_; }
    // `text`, followed the first time after the damage was found by what the user can do
    // about it; the user is told that once.
    QString WithDamageNotice(const QString& text);

    // Brackets a run of calls into SQLite that make up one statement or store. A wait
    // for the file that begins inside is over when the outermost scope ends, so a
    // statement shows as one wait however often SQLite retries its locks.
    class WaitScope {
    public:
        explicit WaitScope(Connection* connection);
        ~WaitScope();
        WaitScope(const WaitScope&) = delete;
        WaitScope& operator=(const WaitScope&) = delete;

    private:
        Connection* connection_;
    };

    // Brackets reads that must never hold up the window (rows read while the list is
    // drawn): inside, a file another program has locked fails the statement at once,
    // with no wait and no busy cursor, and the caller tries again later.
    class NoWaitScope {
    public:
        explicit NoWaitScope(Connection* connection)
            : connection_(connection), was_(std::exchange(connection->noWait_, true)) {}
        ~NoWaitScope() { connection_->noWait_ = was_; }
        NoWaitScope(const NoWaitScope&) = delete;
        NoWaitScope& operator=(const NoWaitScope&) = delete;

    private:
        Connection* connection_;
        bool was_;
    };

signals:
    // A statement has begun to wait for another running copy to release the file.
    void WaitStarted();
    // That statement has ended, with the file or without it.
    void WaitFinished();

private:
    static int Authorize(void* self, int action, const char* table, const char*, const char*,
                         const char*);
    static int OnBusy(void* self, int attempt);
    bool RunBeforeFirstWrite();
    void ShowWait();

    QString fileName_;
    Sqlite::Database db_;
    quint64 generation_ = 0;
    int busyTimeoutMs_ = Sqlite::kBusyTimeoutMs;
    std::function<bool(int)> beforeFirstWrite_;
    bool damaged_ = false;
    bool damageTold_ = false;
    int scopes_ = 0;
    // What the outermost scope has spent waiting in the before-first-write hook.
    qint64 hookWaitedMs_ = 0;
    bool waiting_ = false;
    bool noWait_ = false;
    QElapsedTimer waitClock_;
};

// Runs Begin on construction and rolls back on destruction unless Commit was reached.
class Transaction {
public:
    explicit Transaction(Connection& connection) : connection_(connection) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool Begin(QString* error);
    bool Commit(QString* error);

private:
    Connection& connection_;
    bool open_ = false;
};
