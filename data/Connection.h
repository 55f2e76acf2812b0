#pragma once

#include <QString>

#include <functional>

struct sqlite3;

// The one link to the catalogue file. It opens on the first statement that needs it
// and stays open; after a failed open the next statement tries again. It never
// creates a missing file.
class Connection {
public:
    explicit Connection(QString fileName = QStringLiteral("Sitemora.mdb"));
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    QString FileName() const { return fileName_; }
    void SetFileName(const QString& fileName);

    bool Connected() const { return db_ != nullptr; }
    bool Open(QString* error);
    void Close();
    sqlite3* Handle() const { return db_; }

    // Groups several stores so that they reach the file together or not at all.
    bool Begin(QString* error);
    bool Commit(QString* error);
    void Rollback();
    bool InTransaction() const;

    // How long a statement waits for another running copy to release the file.
    static constexpr int kBusyTimeoutMs = 5000;
    int BusyTimeout() const { return busyTimeoutMs_; }
    void SetBusyTimeout(int milliseconds);

    // Runs `hook` once, just before the first statement of this run that may change the
    // file is prepared (a row stored or deleted, a transaction begun).
    void SetBeforeFirstWrite(std::function<void()> hook);

private:
    static int Authorize(void* self, int action, const char* table, const char*, const char*,
                         const char*);

    QString fileName_;
    sqlite3* db_ = nullptr;
    int busyTimeoutMs_ = kBusyTimeoutMs;
    std::function<void()> beforeFirstWrite_;
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
