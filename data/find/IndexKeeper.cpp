#include "IndexKeeper.h"

#include "Catalogue.h"
#include "FindBuild.h"

#include <cstdio>

namespace {

// How often logged changes are taken in when nobody asks.
constexpr int kPassMs = 3000;
// How long a copy of the catalogue by the start's backup is waited for at most.
constexpr int kCopyWaitMs = 10 * 60 * 1000;

} // namespace

IndexKeeper::IndexKeeper(QString catalogue, std::function<bool(int)> waitForCopy)
    : catalogue_(std::move(catalogue)), waitForCopy_(std::move(waitForCopy)) {}

IndexKeeper::~IndexKeeper() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    woken_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void IndexKeeper::Start() {
    if (!thread_.joinable())
        thread_ = std::thread(&IndexKeeper::Run, this);
}

void IndexKeeper::Wake(bool check) {
    {
        std::lock_guard lock(mutex_);
        wake_ = true;
        check_ = check_ || check;
    }
    woken_.notify_all();
}

bool IndexKeeper::Pause(int ms) {
    std::unique_lock lock(mutex_);
    woken_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return wake_ || stop_; });
    wake_ = false;
    return !stop_;
}

void IndexKeeper::Run() {
    if (waitForCopy_)
        waitForCopy_(kCopyWaitMs);
    QString said;
    while (!stop_) {
        Sqlite::Database db;
        QString error;
        bool check = false;
        {
            std::lock_guard lock(mutex_);
            std::swap(check, check_);
        }
        if (Catalogue::OpenExisting(catalogue_, Catalogue::Access::ReadWrite, &db, &error))
            Find::KeepCurrent(db.Get(), catalogue_, check, &stop_, &error);
        // A catalogue busy with another copy is tried again at the next pass; anything
        // else is said once, as the start's backup says its troubles.
        if (!error.isEmpty() && error != said) {
            std::fprintf(stderr, "sitemora: the find index of %s: %s\n", qPrintable(catalogue_),
                         qPrintable(error));
            said = error;
        }
        db = Sqlite::Database();
        if (!Pause(kPassMs))
            break;
    }
}
