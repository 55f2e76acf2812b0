#include "FindWorker.h"

#include "Catalogue.h"
#include "Finder.h"
#include "FindIndex.h"

namespace {

// The first page: what fills the window at once.
constexpr int kFirstResults = 200;
constexpr int kLaterResults = 1000;

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
    // A connection of its own for each find: it attaches the index as it is now, which
    // the keeper may have made or made anew since the last find.
    Sqlite::Database db;
    QString error;
    if (!Catalogue::OpenExisting(catalogue_, Catalogue::Access::ReadOnly, &db, &error) ||
        !Find::Prepare(db.Get(), catalogue_, false, &error)) {
        emit Finished(ticket, 0, error);
        return;
    }
    bool scanning = false;
    {
        // Said before the first page, which takes long when it has to read every site.
        Sqlite::Transaction reading(db.Get());
        scanning = !reading.Begin(nullptr) || !Find::IndexUsable(db.Get());
    }
    emit Scanning(ticket, scanning);
    Find::Finder finder(db.Get(), query);
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
        count += results.size();
        if (!results.isEmpty())
            emit Found(ticket, results);
        wanted = kLaterResults;
    }
    if (finder.IndexFailed())
        emit IndexFailed();
    if (!Superseded(ticket))
        emit Finished(ticket, count, QString());
}
