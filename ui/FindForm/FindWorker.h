#pragma once

#include "FindText.h"
#include "Sqlite.h"

#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// Runs finds off the window's thread, so that typing never waits for one: each new
// query supersedes the one before, which stops at its next page. Results come back to the
// window's thread as signals, the first page at once and the rest in batches.
class FindWorker : public QObject {
    Q_OBJECT
public:
    explicit FindWorker(QString catalogue, QObject* parent = nullptr);
    ~FindWorker() override;
    FindWorker(const FindWorker&) = delete;
    FindWorker& operator=(const FindWorker&) = delete;

    // Starts finding `query`; returns the ticket its signals carry.
    int Find(const QString& query);

signals:
    // Whether the find reads every site (no usable index), which takes long.
    void Scanning(int ticket, bool scanning);
    void Found(int ticket, const QList<Find::Result>& results);
    // The end of a find: how many sites it found, or why it failed.
    void Finished(int ticket, qint64 count, const QString& error);
    // A find could not read the index: it is damaged and wants building again.
    void IndexFailed();

private:
    void Run();
    void Search(int ticket, const QString& query);
    bool Superseded(int ticket) const { return latest_.load() != ticket || stop_.load(); }

    QString catalogue_;
    // Used on the worker's thread only.
    Sqlite::Database db_;
    bool scanned_ = false;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable asked_;
    QString query_;
    std::atomic<int> latest_{0};
    int taken_ = 0;
    std::atomic<bool> stop_{false};
};
