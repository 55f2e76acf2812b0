#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Keeps the find index of a catalogue built and current on a thread of its own, for the
// run of the program: builds it from nothing or goes on with a build an earlier run left
// halfway, then takes in the changes the triggers log, every few seconds. Closing the
// program stops it between two steps, which the next start goes on from.
class IndexKeeper {
public:
    // `waitForCopy`, when given, is asked before the first step, so that the index never
    // writes to the catalogue while the backup of the start copies it.
    explicit IndexKeeper(QString catalogue, std::function<bool(int)> waitForCopy = {});
    ~IndexKeeper();
    IndexKeeper(const IndexKeeper&) = delete;
    IndexKeeper& operator=(const IndexKeeper&) = delete;

    void Start();
    // Asks for a pass at once; with `check`, the index is read through first, for a find
    // that could not read it.
    void Wake(bool check);

private:
    void Run();
    // Waits until woken, stopped or `ms` have passed; false once stopped.
    bool Pause(int ms);

    QString catalogue_;
    std::function<bool(int)> waitForCopy_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable woken_;
    bool wake_ = false;
    bool check_ = true;
};
