#include "FindWorker.h"

#include "Catalogue.h"
#include "Finder.h"
#include "FindIndex.h"

namespace {

// A screenful first, at once; later pages are not much bigger, so that a find superseded
// by the next key stops soon.
constexpr int kFirstResults = 30;
constexpr int kResultsPerPage = 200;

} // namespace

FindWorker::FindWorker(QString catalogue, QObject* parent)
    : QObject(parent), catalogue_(std::move(catalogue)) {
    qRegisterMetaType<QList<Find::Result>>();
    thread_ = std::thread(&FindWorker::Run, this);
}

FindWorker::~FindWorker() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    asked_.notify_all();
    thread_.join();
}

int FindWorker::Find(const QString& query) {
    int ticket = 0;
    {
        std::lock_guard lock(mutex_);
        query_ = query;
        ticket = latest_.load() + 1;
        latest_ = ticket;
    }
    asked_.notify_all();
    return ticket;
}

void FindWorker::Run() {
    for (;;) {
        QString query;
        int ticket = 0;
        {
            std::unique_lock lock(mutex_);
            asked_.wait(lock, [this] { return stop_ || latest_.load() != taken_; });
            if (stop_)
                return;
            ticket = taken_ = latest_.load();
            query = query_;
        }
        Search(ticket, query);
    }
}

void FindWorker::Search(int ticket, const QString& query) {
    // The connection is kept from one find to the next, with its cache and the index's
    // structure read; after a find that had to scan it is opened again, so that it
    // attaches the index as it is now, which the keeper may have made or made anew.
    QString error;
    if (!db_ || scanned_) {
        db_ = Sqlite::Database();
        if (!Catalogue::OpenExisting(catalogue_, Catalogue::Access::ReadOnly, &db_, &error) ||
            !Find::Prepare(db_.Get(), catalogue_, false, &error)) {
            db_ = Sqlite::Database();
            emit Finished(ticket, 0, error);
            return;
        }
    }
    sqlite3* db = db_.Get();
    bool scanning = false;
    {
        // Said before the first page, which takes long when it has to read every site.
        Sqlite::Transaction reading(db);
        scanning = !reading.Begin(nullptr) || !Find::IndexUsable(db);
    }
    emit Scanning(ticket, scanning);
    Find::Finder finder(db, query);
    finder.SetStop([this, ticket] { return Superseded(ticket); });
    qint64 count = 0;
    int wanted = kFirstResults;
    while (!finder.AtEnd() && !Superseded(ticket)) {
        QList<Find::Result> results;
        if (!finder.Next(wanted, &results, &error)) {
            emit Finished(ticket, count, error);
            return;
        }
        if (finder.Scanned() != scanning)
            emit Scanning(ticket, scanning = finder.Scanned());
        wanted = kResultsPerPage;
        count += results.size();
        if (!results.isEmpty())
            emit Found(ticket, results);
    }
    scanned_ = finder.Scanned();
    if (finder.IndexFailed())
        emit IndexFailed();
    if (!Superseded(ticket))
        emit Finished(ticket, count, QString());
}
